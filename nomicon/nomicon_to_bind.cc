#include <cstdlib>
#include <cstring>
#include <string_view>

#include "nomicon/nomicon.h"
#include "nomicon/nomicon_internal.h"

namespace {

char name_buffer[NOMICON_NAME_SIZE];

// Appends to the name buffer; the first part that does not fit (with the
// terminating NUL) makes every later append a no-op and the build fail.
struct NameBuilder {
    std::size_t used;
    bool overflow;
};

void append(NameBuilder &b, std::string_view part)
{
    if (b.overflow || part.size() > sizeof name_buffer - 1 - b.used) {
        b.overflow = true;
        return;
    }
    std::memcpy(name_buffer + b.used, part.data(), part.size());
    b.used += part.size();
    name_buffer[b.used] = '\0';
}

// Dots go only between parts: none before a part that brings its own.
void append_part(NameBuilder &b, std::string_view part)
{
    if (part.empty() || part.front() != '.')
        append(b, ".");
    append(b, part);
}

}  // namespace

char *nomicon_to_bind(const char *name, const char *type)
{
    if (nomicon_status == -1 || nomicon_status == 2) {
        if (nomicon_init() == 2)
            return nullptr;
    }
    std::string_view whole(name);
    // A name longer than the buffer can never be built, and the check
    // bounds the nesting of "@" expansions, each of which is one level of
    // recursion through the lookup.
    if (whole.size() >= sizeof name_buffer) {
        nomicon_status = 1;
        return nullptr;
    }
    std::string_view local = whole;
    char **expansion = nullptr;
    const char *rhs = nomicon_rhs;
    std::size_t at = whole.find('@');
    if (at != std::string_view::npos) {
        local = whole.substr(0, at);
        const char *domain = name + at + 1;
        if (std::strchr(domain, '.') == nullptr) {
            // The nested lookup reuses the name buffer and the result
            // vector; its first string is a heap string that stays valid.
            expansion = nomicon_resolve(domain, "rhs-extension");
            if (expansion == nullptr || expansion[0] == nullptr) {
                nomicon_status = 1;
                return nullptr;
            }
            rhs = expansion[0];
        } else {
            rhs = domain;
        }
    }

    NameBuilder b{0, false};
    name_buffer[0] = '\0';
    append(b, local);
    append(b, ".");
    append(b, type);
    if (nomicon_lhs != nullptr)
        append_part(b, nomicon_lhs);
    append_part(b, rhs);
    // The expansion's strings were this build's alone; once copied into
    // the name nothing can reach them.
    if (expansion != nullptr) {
        for (char **e = expansion; *e != nullptr; ++e) {
            std::free(*e);
            *e = nullptr;
        }
    }
    // Too long for a domain name: no server could hold it, so it is
    // reported like a name that is not found.
    if (b.overflow) {
        nomicon_status = 1;
        return nullptr;
    }
    return name_buffer;
}
