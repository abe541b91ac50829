#pragma once

namespace knobly {

// Makes GIO's default proxy resolver one that answers "direct" for every address, unless
// GIO_USE_PROXY_RESOLVER names another. GIO makes its default at the first connection any GLib
// library opens, whatever resolver that connection was given. UPnP stays on the local network,
// and the system's resolver (GNOME's settings through dconf and a bus connection of its own,
// or libproxy) would cost threads and memory for nothing. Call before the first connection;
// calling again does nothing.
void useDirectProxyResolverByDefault();

} // namespace knobly
