// The entry-point table and its resolvers, generated from KSM_GL_ENTRY_LIST,
// and the string checks that decide whether an entry is advertised. The
// platform side, gl_entry_lookup and gl_entry_requirement_met, is declared in
// gl_platform.h and defined outside this library (gl_entry.cpp, or the
// tests' fakes).
#include <cstdlib>
#include <cstring>

#include "gl_entry.h"
#include "gl_platform.h"

static GlEntryAddress find_entry(const char* name, const char* requirement)
{
    if (!gl_entry_requirement_met(requirement))
        return nullptr;
    return gl_entry_lookup(name);
}

// The resolver of a slot: on success the slot is pointed at the driver and
// the call goes through; otherwise nothing happens, the result is 0 and the
// slot keeps its resolver.
#define KSM_GL_ENTRY_RESOLVER(ret, name, params, args, requirement)                \
    static ret GLAPIENTRY resolve_##name params                                    \
    {                                                                              \
        GlEntryAddress address = find_entry(#name, requirement);                   \
        if (!address)                                                              \
            return (ret)0;                                                         \
        gl_entry_table.name = reinterpret_cast<ret(GLAPIENTRY*) params>(address);  \
        return gl_entry_table.name args;                                           \
    }
KSM_GL_ENTRY_LIST(KSM_GL_ENTRY_RESOLVER)
#undef KSM_GL_ENTRY_RESOLVER

#define KSM_GL_ENTRY_INITIAL(ret, name, params, args, requirement) resolve_##name,
static const GlEntryTable initial_gl_entry_table = {KSM_GL_ENTRY_LIST(KSM_GL_ENTRY_INITIAL)};
GlEntryTable gl_entry_table = {KSM_GL_ENTRY_LIST(KSM_GL_ENTRY_INITIAL)};
#undef KSM_GL_ENTRY_INITIAL

int gl_entry_count()
{
#define KSM_GL_ENTRY_ONE(ret, name, params, args, requirement) +1
    return 0 KSM_GL_ENTRY_LIST(KSM_GL_ENTRY_ONE);
#undef KSM_GL_ENTRY_ONE
}

void reset_gl_entry_table()
{
    gl_entry_table = initial_gl_entry_table;
}

bool extension_listed(const char* list, const char* name)
{
    if (!list || !name || !*name)
        return false;
    size_t len = std::strlen(name);
    for (const char* p = list; (p = std::strstr(p, name)) != nullptr; p += len) {
        bool starts_word = p == list || p[-1] == ' ';
        bool ends_word = p[len] == ' ' || p[len] == '\0';
        if (starts_word && ends_word)
            return true;
    }
    return false;
}

bool gl_version_at_least(const char* version, int major, int minor)
{
    if (!version)
        return false;
    // Desktop GL strings start with the number; GLES ones with a prefix.
    while (*version && (*version < '0' || *version > '9'))
        ++version;
    char* end = nullptr;
    long have_major = std::strtol(version, &end, 10);
    if (end == version)
        return false;
    long have_minor = 0;
    if (*end == '.')
        have_minor = std::strtol(end + 1, nullptr, 10);
    return have_major > major || (have_major == major && have_minor >= minor);
}

bool gl_requirement_met(const char* requirement, const char* gl_version,
                        const char* gl_extensions, const char* glx_extensions)
{
    static const char VERSION_PREFIX[] = "GL_VERSION_";
    const size_t prefix_len = sizeof VERSION_PREFIX - 1;
    if (std::strncmp(requirement, VERSION_PREFIX, prefix_len) == 0) {
        const char* p = requirement + prefix_len;
        char* end = nullptr;
        long major = std::strtol(p, &end, 10);
        if (end == p || *end != '_')
            return false;
        long minor = std::strtol(end + 1, nullptr, 10);
        return gl_version_at_least(gl_version, (int)major, (int)minor);
    }
    if (std::strncmp(requirement, "GLX_", 4) == 0)
        return extension_listed(glx_extensions, requirement);
    return extension_listed(gl_extensions, requirement);
}
