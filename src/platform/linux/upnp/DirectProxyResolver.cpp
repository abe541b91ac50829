#include "DirectProxyResolver.h"

#include <gio/gio.h>

struct KnoblyDirectResolver {
    GObject parent;
};
struct KnoblyDirectResolverClass {
    GObjectClass parent;
};

static void knobly_direct_resolver_iface_init(GProxyResolverInterface *iface);
G_DEFINE_TYPE_WITH_CODE(KnoblyDirectResolver, knobly_direct_resolver, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(G_TYPE_PROXY_RESOLVER,
                                              knobly_direct_resolver_iface_init))

static void knobly_direct_resolver_init(KnoblyDirectResolver *) {}
static void knobly_direct_resolver_class_init(KnoblyDirectResolverClass *) {}

static gchar **knobly_direct_only() {
    gchar *direct[] = {const_cast<gchar *>("direct://"), nullptr};
    return g_strdupv(direct);
}

static void knobly_direct_resolver_iface_init(GProxyResolverInterface *iface) {
    iface->is_supported = [](GProxyResolver *) -> gboolean { return TRUE; };
    iface->lookup = [](GProxyResolver *, const gchar *, GCancellable *, GError **) {
        return knobly_direct_only();
    };
    iface->lookup_async = [](GProxyResolver *resolver, const gchar *, GCancellable *cancellable,
                             GAsyncReadyCallback done, gpointer data) {
        GTask *task = g_task_new(resolver, cancellable, done, data);
        g_task_return_pointer(task, knobly_direct_only(), GDestroyNotify(g_strfreev));
        g_object_unref(task);
    };
    iface->lookup_finish = [](GProxyResolver *, GAsyncResult *result, GError **error) {
        return static_cast<gchar **>(g_task_propagate_pointer(G_TASK(result), error));
    };
}

void knobly::useDirectProxyResolverByDefault() {
    static const bool done = [] {
        // GIO registers its extension points only when it first needs one; registering an
        // existing point returns it, so this is safe in either order.
        g_io_extension_point_register(G_PROXY_RESOLVER_EXTENSION_POINT_NAME);
        // Above every resolver GIO ships (GNOME's is 80, the portal's 90, libproxy's 0).
        g_io_extension_point_implement(G_PROXY_RESOLVER_EXTENSION_POINT_NAME,
                                       knobly_direct_resolver_get_type(), "knobly-direct", 1000);
        return true;
    }();
    (void)done;
}
