// Function objects with a native body.
//
// Modelled on the runtime's own function type: the same attributes with
// the same rules for reassignment, the func_* aliases of old, attribute
// storage in __dict__, cyclic GC and weak references.  The body is called
// through tp_call and, where the runtime has it, through vectorcall.
#include "function_type.h"

#include "compat.h"

#include <cstddef>

namespace sd {

namespace {

struct NativeFunction {
    PyObject_HEAD
    PyObject *name;         // text, never NULL
    PyObject *qualname;     // text, never NULL
    PyObject *module;       // any object; NULL reads as None
    PyObject *doc;          // any object; NULL reads as None
    PyObject *dict;         // attribute storage; made on first use
    PyObject *globals;      // NULL only after tp_clear
    PyObject *code;         // never NULL
    PyObject *defaults;     // tuple or NULL
    PyObject *kwdefaults;   // dict or NULL
    PyObject *annotations;  // dict or NULL; made on first read
    PyObject *weakreflist;  // owned by the runtime's weakref machinery
    ternaryfunc call;       // the body, tuple and dict convention
#if SYSTEMDEFINE_HAVE_VECTORCALL
    vectorcallfunc vectorcall;  // the body, vectorcall convention
#endif
};

NativeFunction *
as_function(PyObject *self) noexcept
{
    return reinterpret_cast<NativeFunction *>(self);
}

PyObject *
none_if_null(PyObject *value) noexcept
{
    if (value == nullptr) {
        value = Py_None;
    }
    Py_INCREF(value);
    return value;
}

// Messages of the setters.
const char kNameNotText[] = "__name__ must be set to a string object";
const char kQualnameNotText[] = "__qualname__ must be set to a string object";
const char kDictNotDict[] = "setting function's dictionary to a non-dict";
const char kDictDeleted[] = "function's dictionary may not be deleted";
const char kDefaultsNotTuple[] = "__defaults__ must be set to a tuple object";
const char kKwdefaultsNotDict[] =
    "__kwdefaults__ must be set to a dict object";
const char kAnnotationsNotDict[] =
    "__annotations__ must be set to a dict object";

PyObject *fn_get_name(PyObject *self, void *) noexcept;
int fn_set_name(PyObject *self, PyObject *value, void *) noexcept;
PyObject *fn_get_qualname(PyObject *self, void *) noexcept;
int fn_set_qualname(PyObject *self, PyObject *value, void *) noexcept;
PyObject *fn_get_doc(PyObject *self, void *) noexcept;
int fn_set_doc(PyObject *self, PyObject *value, void *) noexcept;
PyObject *fn_get_dict(PyObject *self, void *) noexcept;
int fn_set_dict(PyObject *self, PyObject *value, void *) noexcept;
PyObject *fn_get_globals(PyObject *self, void *) noexcept;
PyObject *fn_get_closure(PyObject *self, void *) noexcept;
PyObject *fn_get_code(PyObject *self, void *) noexcept;
PyObject *fn_get_defaults(PyObject *self, void *) noexcept;
int fn_set_defaults(PyObject *self, PyObject *value, void *) noexcept;
PyObject *fn_get_kwdefaults(PyObject *self, void *) noexcept;
int fn_set_kwdefaults(PyObject *self, PyObject *value, void *) noexcept;
PyObject *fn_get_annotations(PyObject *self, void *) noexcept;
int fn_set_annotations(PyObject *self, PyObject *value, void *) noexcept;
PyObject *fn_get_self(PyObject *self, void *) noexcept;
PyObject *fn_reduce(PyObject *self, PyObject *args) noexcept;
PyObject *fn_getattro(PyObject *self, PyObject *name) noexcept;
int fn_setattro(PyObject *self, PyObject *name, PyObject *value) noexcept;

void fn_dealloc(PyObject *self) noexcept;
int fn_traverse(PyObject *self, visitproc visit, void *arg) noexcept;
int fn_clear(PyObject *self) noexcept;
PyObject *fn_repr(PyObject *self) noexcept;
PyObject *fn_call(PyObject *self, PyObject *args, PyObject *kwargs) noexcept;
PyObject *fn_descr_get(PyObject *self, PyObject *, PyObject *) noexcept;

#define FN_GETSET(name, get, set) \
    {SYSTEMDEFINE_TEXT(name), get, set, nullptr, nullptr}

// clang-format off
PyGetSetDef fn_getset[] = {
    FN_GETSET("func_code", fn_get_code, nullptr),
    FN_GETSET("__code__", fn_get_code, nullptr),
    FN_GETSET("func_defaults", fn_get_defaults, fn_set_defaults),
    FN_GETSET("__defaults__", fn_get_defaults, fn_set_defaults),
    FN_GETSET("__kwdefaults__", fn_get_kwdefaults, fn_set_kwdefaults),
    FN_GETSET("__annotations__", fn_get_annotations, fn_set_annotations),
    FN_GETSET("func_dict", fn_get_dict, fn_set_dict),
    FN_GETSET("__dict__", fn_get_dict, fn_set_dict),
    FN_GETSET("func_name", fn_get_name, fn_set_name),
    FN_GETSET("__name__", fn_get_name, fn_set_name),
    FN_GETSET("__qualname__", fn_get_qualname, fn_set_qualname),
    FN_GETSET("func_doc", fn_get_doc, fn_set_doc),
    FN_GETSET("__doc__", fn_get_doc, fn_set_doc),
    FN_GETSET("func_globals", fn_get_globals, nullptr),
    FN_GETSET("__globals__", fn_get_globals, nullptr),
    FN_GETSET("func_closure", fn_get_closure, nullptr),
    FN_GETSET("__closure__", fn_get_closure, nullptr),
    FN_GETSET("__self__", fn_get_self, nullptr),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
// clang-format on

#undef FN_GETSET

PyMemberDef fn_members[] = {
    {SYSTEMDEFINE_TEXT("__module__"), T_OBJECT,
     static_cast<Py_ssize_t>(offsetof(NativeFunction, module)), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// clang-format off
PyTypeObject function_type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "Windows_QUMA.System.systemDefine.native_function",  /* tp_name */
    sizeof(NativeFunction),                     /* tp_basicsize */
    0,                                          /* tp_itemsize */
    fn_dealloc,                                 /* tp_dealloc */
    SYSTEMDEFINE_VECTORCALL_OFFSET(NativeFunction, vectorcall),
                                    /* tp_vectorcall_offset (tp_print) */
    nullptr,                                    /* tp_getattr */
    nullptr,                                    /* tp_setattr */
    nullptr,                                    /* tp_as_async */
    fn_repr,                                    /* tp_repr */
    nullptr,                                    /* tp_as_number */
    nullptr,                                    /* tp_as_sequence */
    nullptr,                                    /* tp_as_mapping */
    nullptr,                                    /* tp_hash */
    fn_call,                                    /* tp_call */
    nullptr,                                    /* tp_str */
    nullptr,                    /* tp_getattro: object's, generic */
    nullptr,                    /* tp_setattro: object's, generic */
    nullptr,                                    /* tp_as_buffer */
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
        SYSTEMDEFINE_VECTORCALL_FLAGS,          /* tp_flags */
    nullptr,                                    /* tp_doc */
    fn_traverse,                                /* tp_traverse */
    fn_clear,                                   /* tp_clear */
    nullptr,                                    /* tp_richcompare */
    static_cast<Py_ssize_t>(offsetof(NativeFunction, weakreflist)),
                                                /* tp_weaklistoffset */
    nullptr,                                    /* tp_iter */
    nullptr,                                    /* tp_iternext */
    fn_methods,                                 /* tp_methods */
    fn_members,                                 /* tp_members */
    fn_getset,                                  /* tp_getset */
    nullptr,                                    /* tp_base */
    nullptr,                                    /* tp_dict */
    fn_descr_get,                               /* tp_descr_get */
    nullptr,                                    /* tp_descr_set */
    static_cast<Py_ssize_t>(offsetof(NativeFunction, dict)),
                                                /* tp_dictoffset */
};
// clang-format on

// Fields are read and replaced under the object's critical section, as
// the runtime's own function objects do, so that without the GIL a
// reader never sees a value another thread has freed.  A replaced value
// is dropped after the section: dropping may run a finaliser.

// A new reference to *field (None for NULL).
PyObject *
read_field(PyObject *self, PyObject *const *field) noexcept
{
    compat::CriticalSection section(self);
    return none_if_null(compat::load_field(field));
}

// Store a new reference to `value` (may be NULL) in *field.
void
replace_field(PyObject *self, PyObject **field, PyObject *value) noexcept
{
    Py_XINCREF(value);
    OwnedRef old;
    {
        compat::CriticalSection section(self);
        old = OwnedRef::steal(compat::load_field(field));
        compat::store_field(field, value);
    }
}

// A new reference to the dict in *field, made on first use.
PyObject *
lazy_dict(PyObject *self, PyObject **field) noexcept
{
    compat::CriticalSection section(self);
    PyObject *dict = compat::load_field(field);
    if (dict == nullptr) {
        dict = PyDict_New();
        if (dict == nullptr) {
            return nullptr;
        }
        compat::store_field(field, dict);
    }
    Py_INCREF(dict);
    return dict;
}

PyObject *
fn_get_name(PyObject *self, void *) noexcept
{
    return read_field(self, &as_function(self)->name);
}

int
fn_set_name(PyObject *self, PyObject *value, void *) noexcept
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, kNameNotText);
        return -1;
    }
    replace_field(self, &as_function(self)->name, value);
    return 0;
}

PyObject *
fn_get_qualname(PyObject *self, void *) noexcept
{
    return read_field(self, &as_function(self)->qualname);
}

int
fn_set_qualname(PyObject *self, PyObject *value, void *) noexcept
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, kQualnameNotText);
        return -1;
    }
    replace_field(self, &as_function(self)->qualname, value);
    return 0;
}

PyObject *
fn_get_doc(PyObject *self, void *) noexcept
{
    return read_field(self, &as_function(self)->doc);
}

int
fn_set_doc(PyObject *self, PyObject *value, void *) noexcept
{
    // Deleting the docstring leaves None.
    replace_field(self, &as_function(self)->doc,
                  value == nullptr ? Py_None : value);
    return 0;
}

PyObject *
fn_get_dict(PyObject *self, void *) noexcept
{
    return lazy_dict(self, &as_function(self)->dict);
}

int
fn_set_dict(PyObject *self, PyObject *value, void *) noexcept
{
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, kDictDeleted);
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, kDictNotDict);
        return -1;
    }
    replace_field(self, &as_function(self)->dict, value);
    return 0;
}

PyObject *
fn_get_globals(PyObject *self, void *) noexcept
{
    return read_field(self, &as_function(self)->globals);
}

PyObject *
fn_get_closure(PyObject *, void *) noexcept
{
    // A native body reaches its state directly: there are no cells.
    Py_RETURN_NONE;
}

PyObject *
fn_get_code(PyObject *self, void *) noexcept
{
    return read_field(self, &as_function(self)->code);
}

PyObject *
fn_get_defaults(PyObject *self, void *) noexcept
{
    return read_field(self, &as_function(self)->defaults);
}

int
fn_set_defaults(PyObject *self, PyObject *value, void *) noexcept
{
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, kDefaultsNotTuple);
        return -1;
    }
    replace_field(self, &as_function(self)->defaults, value);
    return 0;
}

PyObject *
fn_get_kwdefaults(PyObject *self, void *) noexcept
{
    return read_field(self, &as_function(self)->kwdefaults);
}

int
fn_set_kwdefaults(PyObject *self, PyObject *value, void *) noexcept
{
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, kKwdefaultsNotDict);
        return -1;
    }
    replace_field(self, &as_function(self)->kwdefaults, value);
    return 0;
}

PyObject *
fn_get_annotations(PyObject *self, void *) noexcept
{
    return lazy_dict(self, &as_function(self)->annotations);
}

int
fn_set_annotations(PyObject *self, PyObject *value, void *) noexcept
{
    // None and deletion both empty it; the next read makes a new dict.
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, kAnnotationsNotDict);
        return -1;
    }
    replace_field(self, &as_function(self)->annotations, value);
    return 0;
}

PyObject *
fn_get_self(PyObject *, void *) noexcept
{
    // Binding is static: there is never a bound instance.
    Py_RETURN_NONE;
}

PyObject *
fn_reduce(PyObject *self, PyObject *) noexcept
{
    // Pickled by reference to the name it was defined under; whatever
    // arguments come are ignored.  The code object is never replaced.
    return PyObject_GetAttrString(as_function(self)->code, "co_name");
}

// Attribute access where the runtime does not use the dictionary offset
// (PyPy): the generic protocol's order, done here.  A data descriptor of
// the type comes first, then the function's own dictionary, then the rest
// of what the type has.
PyObject *
fn_getattro(PyObject *self, PyObject *name) noexcept
{
    OwnedRef descr = compat::type_lookup(Py_TYPE(self), name);
    if (!descr || Py_TYPE(descr.get())->tp_descr_set == nullptr) {
        OwnedRef dict = OwnedRef::steal(fn_get_dict(self, nullptr));
        if (!dict) {
            return nullptr;
        }
        OwnedRef found = compat::dict_get_item(dict.get(), name);
        if (found || PyErr_Occurred()) {
            return found.release();
        }
    }
    return PyObject_GenericGetAttr(self, name);
}

int
fn_setattro(PyObject *self, PyObject *name, PyObject *value) noexcept
{
    OwnedRef descr = compat::type_lookup(Py_TYPE(self), name);
    if (descr && Py_TYPE(descr.get())->tp_descr_set != nullptr) {
        return PyObject_GenericSetAttr(self, name, value);
    }
    OwnedRef dict = OwnedRef::steal(fn_get_dict(self, nullptr));
    if (!dict) {
        return -1;
    }
    if (value != nullptr) {
        return PyDict_SetItem(dict.get(), name, value);
    }
    if (PyDict_DelItem(dict.get(), name) == 0) {
        return 0;
    }
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_AttributeError,
                     "'%.100s' object has no attribute '%U'",
                     Py_TYPE(self)->tp_name, name);
    }
    return -1;
}

void
fn_dealloc(PyObject *self) noexcept
{
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    (void)fn_clear(self);
    NativeFunction *fn = as_function(self);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->code);
    PyObject_GC_Del(self);
}

int
fn_traverse(PyObject *self, visitproc visit, void *arg) noexcept
{
    NativeFunction *fn = as_function(self);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->dict);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->code);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->kwdefaults);
    Py_VISIT(fn->annotations);
    return 0;
}

int
fn_clear(PyObject *self) noexcept
{
    // Name, qualified name and code stay: they are never NULL while the
    // object lives, and text and code objects cannot close a cycle
    // through this function by themselves.
    NativeFunction *fn = as_function(self);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->kwdefaults);
    Py_CLEAR(fn->annotations);
    return 0;
}

PyObject *
fn_repr(PyObject *self) noexcept
{
    OwnedRef qualname = OwnedRef::steal(fn_get_qualname(self, nullptr));
    return PyUnicode_FromFormat("<function %U at %p>", qualname.get(),
                                static_cast<void *>(self));
}

PyObject *
fn_call(PyObject *self, PyObject *args, PyObject *kwargs) noexcept
{
    return as_function(self)->call(self, args, kwargs);
}

PyObject *
fn_descr_get(PyObject *self, PyObject *, PyObject *) noexcept
{
    Py_INCREF(self);
    return self;
}

}  // namespace

int
prepare_function_type() noexcept
{
    if (!compat::kRuntimeUsesDictOffset) {
        function_type.tp_getattro = fn_getattro;
        function_type.tp_setattro = fn_setattro;
    }
    return PyType_Ready(&function_type);
}

PyObject *
new_function(const FunctionParts &parts) noexcept
{
    NativeFunction *fn = PyObject_GC_New(NativeFunction, &function_type);
    if (fn == nullptr) {
        return nullptr;
    }
    Py_INCREF(parts.name);
    fn->name = parts.name;
    Py_INCREF(parts.qualname);
    fn->qualname = parts.qualname;
    Py_INCREF(parts.module);
    fn->module = parts.module;
    fn->doc = nullptr;
    fn->dict = nullptr;
    Py_INCREF(parts.globals);
    fn->globals = parts.globals;
    Py_INCREF(parts.code);
    fn->code = parts.code;
    fn->defaults = nullptr;
    fn->kwdefaults = nullptr;
    fn->annotations = nullptr;
    fn->weakreflist = nullptr;
    fn->call = parts.call;
#if SYSTEMDEFINE_HAVE_VECTORCALL
    fn->vectorcall = parts.vectorcall;
#endif
    PyObject_GC_Track(fn);
    return reinterpret_cast<PyObject *>(fn);
}

PyObject *
function_globals(PyObject *fn) noexcept
{
    compat::CriticalSection section(fn);
    PyObject *globals = as_function(fn)->globals;
    Py_XINCREF(globals);
    return globals;
}

}  // namespace sd
