#pragma once

#include <cctype>
#include <string>

// A table row's description as a GoogleTest name: letters and digits, the rest '_'.
inline std::string testNameOf(const char *description) {
    std::string name = description;
    for (char &c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}
