// The definition table: what the module defines for the rest of the
// application, and the string pool that all of its names come from.
#include "definitions.h"

#include "failure.h"
#include "state.h"

#include <cstring>

#define SYSTEMDEFINE_FILE_ID 3

// Absolute path of the source tree on the build machine (set by the build,
// with a trailing separator); __new__'s code object names its file there.
#ifndef SYSTEMDEFINE_BUILD_ROOT
#define SYSTEMDEFINE_BUILD_ROOT ""
#endif

namespace sd {

Pool pool;

namespace {

// One row of the table.  `value` is UTF-8 text, or NULL for the one
// integer; `impl_line` numbers the row as the place where storing it
// fails.
struct Definition {
    const char *name;
    const char *value;
    int source_line;
    int impl_line;
};

// Binding order is table order.  One row per line: the line numbers the
// failure place.
// clang-format off
const Definition kDefinitions[] = {
    {"DEVICE_MONITOR_INTERVAL", nullptr, 11, SYSTEMDEFINE_IMPL_LINE},
    {"sideBarLabel_powerSourceStr", "Power Source", 13, SYSTEMDEFINE_IMPL_LINE},
    {"sideBarLabel_batteryCapacityStr", "Battery Capacity", 14, SYSTEMDEFINE_IMPL_LINE},
    {"sideBarLabel_estimatedRuntimeStr", "Estimated Runtime", 15, SYSTEMDEFINE_IMPL_LINE},
    {"ACUtilityStr", "AC Utility", 17, SYSTEMDEFINE_IMPL_LINE},
    {"BatteryStr", "Battery", 18, SYSTEMDEFINE_IMPL_LINE},
    {"percentageStr", " %", 20, SYSTEMDEFINE_IMPL_LINE},
    {"minStr", " min.", 21, SYSTEMDEFINE_IMPL_LINE},
    {"voltsStr", " volts", 22, SYSTEMDEFINE_IMPL_LINE},
    {"wattsStr", " watts", 23, SYSTEMDEFINE_IMPL_LINE},
    {"minuteStr", " minute", 24, SYSTEMDEFINE_IMPL_LINE},
    {"unknownStr", "Unknown", 25, SYSTEMDEFINE_IMPL_LINE},
    {"noneValueStr", "---", 26, SYSTEMDEFINE_IMPL_LINE},
    {"dischargingStr", "Discharging", 27, SYSTEMDEFINE_IMPL_LINE},
    {"fullChargedStr", "Full Charged", 28, SYSTEMDEFINE_IMPL_LINE},
    {"chargingStr", "Charging", 29, SYSTEMDEFINE_IMPL_LINE},
    {"ups_working_normallyStr", "The UPS is working normally.", 31, SYSTEMDEFINE_IMPL_LINE},
    {"quma_notReadyStr", "Quillmarsh\xC2\xAE Personal Service is not ready.", 32, SYSTEMDEFINE_IMPL_LINE},
    {"ups_unable_communicationStr", "Unable to establish communication with UPS.", 33, SYSTEMDEFINE_IMPL_LINE},
    {"qumaVersion", "2.1.2", 35, SYSTEMDEFINE_IMPL_LINE},
    {"PAGE_MONITOR", "monitor", 38, SYSTEMDEFINE_IMPL_LINE},
    {"PAGE_ENERGY", "energy", 39, SYSTEMDEFINE_IMPL_LINE},
    {"PAGE_CONFIG", "config", 40, SYSTEMDEFINE_IMPL_LINE},
    {"PAGE_INFO", "info", 41, SYSTEMDEFINE_IMPL_LINE},
};
// clang-format on

constexpr size_t kDefinitionCount =
    sizeof(kDefinitions) / sizeof(kDefinitions[0]);

// The definitions' names and values, in table order.
PyObject *definition_names[kDefinitionCount];
PyObject *definition_values[kDefinitionCount];

// Other names of the module, created before the definitions'.
struct Name {
    PyObject **slot;
    const char *text;
};

const Name kNames[] = {
    {&pool.singleton, "Singleton"},
    {&pool.test, "__test__"},
    {&pool.instances, "_instances"},
    {&pool.new_, "__new__"},
    {&pool.module, "__module__"},
    {&pool.qualname, "__qualname__"},
    {&pool.prepare, "__prepare__"},
    {&pool.metaclass, "__metaclass__"},
    {&pool.object, "object"},
    {&pool.super, "super"},
    {&pool.class_, "class_"},
    {&pool.args, "args"},
    {&pool.kwargs, "kwargs"},
    {&pool.new_qualname, "Singleton.__new__"},
    {&pool.module_name, "Windows_QUMA.System.systemDefine"},
};

const char kNewFilename[] =
    SYSTEMDEFINE_BUILD_ROOT "Windows_QUMA\\System\\systemDefine";

// Values made of letters alone are interned, like identifiers; the others
// are plain text objects.
bool
letters_only(const char *text) noexcept
{
    for (; *text != '\0'; ++text) {
        char c = *text;
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
            return false;
        }
    }
    return true;
}

// Make `*slot` from UTF-8 `text` unless an earlier run of the import
// sequence made it already.  False on failure, with an exception set.
bool
fill(PyObject **slot, const char *text, bool interned) noexcept
{
    if (*slot == nullptr) {
        *slot = interned
                    ? PyUnicode_InternFromString(text)
                    : PyUnicode_FromStringAndSize(
                          text, static_cast<Py_ssize_t>(std::strlen(text)));
    }
    return *slot != nullptr;
}

}  // namespace

int
create_string_pool(Location &where) noexcept
{
    for (const Name &name : kNames) {
        if (!fill(name.slot, name.text, true)) {
            return SD_FAIL(where, 1);
        }
    }
    for (size_t i = 0; i < kDefinitionCount; ++i) {
        if (!fill(&definition_names[i], kDefinitions[i].name, true)) {
            return SD_FAIL(where, 1);
        }
    }
    for (size_t i = 0; i < kDefinitionCount; ++i) {
        const char *value = kDefinitions[i].value;
        if (value != nullptr &&
            !fill(&definition_values[i], value, letters_only(value))) {
            return SD_FAIL(where, 1);
        }
    }
    if (!fill(&pool.new_filename, kNewFilename, false)) {
        return SD_FAIL(where, 1);
    }
    // Then the one value that is not text.
    for (size_t i = 0; i < kDefinitionCount; ++i) {
        if (kDefinitions[i].value == nullptr &&
            definition_values[i] == nullptr) {
            definition_values[i] = PyLong_FromLong(3);
            if (definition_values[i] == nullptr) {
                return SD_FAIL(where, 1);
            }
        }
    }
    return 0;
}

int
bind_definitions(PyObject *globals, Location &where) noexcept
{
    for (size_t i = 0; i < kDefinitionCount; ++i) {
        if (PyDict_SetItem(globals, definition_names[i],
                           definition_values[i]) < 0) {
            return failed_at(where, kDefinitions[i].source_line,
                             kDefinitions[i].impl_line);
        }
    }
    return 0;
}

}  // namespace sd

SYSTEMDEFINE_CHECK_FILE_SIZE;
