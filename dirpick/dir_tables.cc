#include "dirpick/dirpick.h"

// Constant-initialised: no start-up work.
constinit const DirTemplate dir_templates[DIR_TEMPLATE_COUNT] = {
    // Slot 0 lacks DIR_SYSNAME on purpose; every type allows DIR_ARCH, so a
    // user format still passes the convention test for every type.
    {nullptr, DIR_MACHDEP | DIR_MACHINDEP | DIR_ARCH | DIR_MACHTYPE | DIR_PLAIN},
    {"%p/arch/%s/%t", DIR_MACHDEP | DIR_ARCH},
    {"%p/%s/%t", DIR_MACHDEP | DIR_SYSNAME},
    {"%p/%m%t", DIR_MACHDEP | DIR_MACHTYPE},
    {"%p/%t", DIR_MACHINDEP | DIR_PLAIN},
};

constinit const TypeRule type_rules[TYPE_RULE_COUNT] = {
    {"bin", DIR_ARCH | DIR_MACHTYPE | DIR_SYSNAME, DIR_MACHDEP},
    {"lib", DIR_ARCH | DIR_MACHTYPE | DIR_SYSNAME, DIR_MACHDEP},
    {"etc", DIR_ARCH | DIR_MACHTYPE | DIR_SYSNAME, DIR_MACHDEP},
    {"man", DIR_ARCH | DIR_PLAIN, DIR_MACHINDEP},
    {"include", DIR_ARCH | DIR_PLAIN, DIR_MACHINDEP},
    // Any other type, or none: man's conventions with the machine-dependent
    // mode. The null name ends the table.
    {nullptr, DIR_ARCH | DIR_PLAIN, DIR_MACHDEP},
};
