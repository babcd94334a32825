// The Singleton base class: created at import, its __new__ keeps one
// instance per class in the table reached as `class_._instances`.
#include "singleton.h"

#include "definitions.h"
#include "failure.h"
#include "function_type.h"
#include "module.h"

#define SYSTEMDEFINE_FILE_ID 4

namespace sd {

namespace {

const char kNewFunctionName[] =
    "Windows_QUMA.System.systemDefine.Singleton.__new__";
const char kMetaclassConflict[] =
    "metaclass conflict: the metaclass of a derived class must be a "
    "(non-strict) subclass of the metaclasses of all its bases";

// Call `callable` like the runtime's evaluator does, counting against the
// recursion limit.
PyObject *
call_checked(PyObject *callable, PyObject *args, PyObject *kwargs) noexcept
{
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return nullptr;
    }
    PyObject *result = PyObject_Call(callable, args, kwargs);
    Py_LeaveRecursiveCall();
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError,
                        "NULL result without error in PyObject_Call");
    }
    return result;
}

// ---- Arguments --------------------------------------------------------
//
// __new__(class_, *args, **kwargs) is reached with the keywords either as
// a dictionary (tp_call) or as names beside the values (vectorcall).  Both
// views offer the same three operations to bind().

bool
is_class_name(PyObject *key) noexcept
{
    return key == pool.class_ ||
           (PyUnicode_Check(key) && PyUnicode_Compare(key, pool.class_) == 0);
}

class DictKeywords {
public:
    explicit DictKeywords(PyObject *dict) noexcept : dict_(dict)
    {
    }
    bool
    present() const noexcept
    {
        return dict_ != nullptr;
    }
    Py_ssize_t
    size() const noexcept
    {
        return PyDict_GET_SIZE(dict_);
    }
    // Borrowed value of "class_"; NULL when absent or on error.
    PyObject *
    find_class() const noexcept
    {
        return PyDict_GetItemWithError(dict_, pool.class_);
    }
    bool
    next(Py_ssize_t *pos, PyObject **key, PyObject **value) const noexcept
    {
        return PyDict_Next(dict_, pos, key, value) != 0;
    }

private:
    PyObject *dict_;  // may be NULL
};

class VectorKeywords {
public:
    VectorKeywords(PyObject *names, PyObject *const *values) noexcept
        : names_(names), values_(values)
    {
    }
    bool
    present() const noexcept
    {
        return names_ != nullptr;
    }
    Py_ssize_t
    size() const noexcept
    {
        return PyTuple_GET_SIZE(names_);
    }
    PyObject *
    find_class() const noexcept
    {
        for (Py_ssize_t i = 0; i < size(); ++i) {
            if (is_class_name(PyTuple_GET_ITEM(names_, i))) {
                return values_[i];
            }
        }
        return nullptr;
    }
    bool
    next(Py_ssize_t *pos, PyObject **key, PyObject **value) const noexcept
    {
        if (*pos >= size()) {
            return false;
        }
        *key = PyTuple_GET_ITEM(names_, *pos);
        *value = values_[*pos];
        ++*pos;
        return true;
    }

private:
    PyObject *names_;  // tuple, or NULL when no keywords
    PyObject *const *values_;
};

// The positional arguments of a call.
struct Positional {
    PyObject *const *items;
    Py_ssize_t count;
    PyObject *tuple;  // the call's own tuple of them, or NULL
};

// The argument count is wrong only when no positional argument came, so
// the runtime's message "%.200s() takes %.8s %zd positional argument%.1s
// (%zd given)" always reads the same; formatting it anew each time would
// be most of the cost of a failing call.
const char kArgumentCount[] =
    "__new__() takes at least 1 positional argument (0 given)";

// Bind the call's arguments to (class_, *args, **kwargs), checking every
// rule.  Nothing is allocated here: *args and **kwargs stay views of the
// call's arguments until an instance has to be created, so a call that
// finds its instance makes no object at all.  Returns 0, or -1 with the
// failure recorded.
template <class Keywords>
int
bind(const Positional &positional, const Keywords &keywords,
     OwnedRef &class_) noexcept
{
    if (positional.count > 0) {
        class_ = OwnedRef::borrow(positional.items[0]);
    }
    if (!keywords.present()) {
        if (positional.count == 0) {
            PyErr_SetString(PyExc_TypeError, kArgumentCount);
            return SD_FAIL(5);
        }
        return 0;
    }
    Py_ssize_t remaining = keywords.size();
    if (positional.count == 0) {
        class_ = OwnedRef::borrow(keywords.find_class());
        if (!class_) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_TypeError, kArgumentCount);
            }
            return SD_FAIL(5);
        }
        remaining--;
    }
    if (remaining == 0) {
        return 0;
    }
    Py_ssize_t pos = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    while (keywords.next(&pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError,
                            "__new__() keywords must be strings");
            return SD_FAIL(5);
        }
        if (is_class_name(key)) {
            if (positional.count > 0) {
                PyErr_Format(PyExc_TypeError,
                             "%s() got multiple values for keyword "
                             "argument '%U'",
                             "__new__", key);
                return SD_FAIL(5);
            }
            class_ = OwnedRef::borrow(value);
        }
    }
    return 0;
}

// The dictionary for **kwargs: every keyword but class_.
template <class Keywords>
OwnedRef
creation_kwargs(const Keywords &keywords) noexcept
{
    OwnedRef kwargs = OwnedRef::steal(PyDict_New());
    if (!kwargs || !keywords.present()) {
        return kwargs;
    }
    Py_ssize_t pos = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    while (keywords.next(&pos, &key, &value)) {
        if (is_class_name(key)) {
            continue;
        }
        // Hashing the key may run code that drops it from the caller's
        // dictionary: hold both while storing.
        OwnedRef held_key = OwnedRef::borrow(key);
        OwnedRef held_value = OwnedRef::borrow(value);
        if (PyDict_SetItem(kwargs.get(), key, value) < 0) {
            return OwnedRef();
        }
    }
    return kwargs;
}

// ---- Body -------------------------------------------------------------

// The positional arguments for the parent's __new__: class_ followed by
// *args, which is the call's own positional arguments whenever it had any.
OwnedRef
creation_args(PyObject *class_, const Positional &positional) noexcept
{
    if (positional.count == 0) {
        return OwnedRef::steal(PyTuple_Pack(1, class_));
    }
    if (positional.tuple != nullptr) {
        return OwnedRef::borrow(positional.tuple);
    }
    OwnedRef args = OwnedRef::steal(PyTuple_New(positional.count));
    if (!args) {
        return args;
    }
    for (Py_ssize_t i = 0; i < positional.count; ++i) {
        Py_INCREF(positional.items[i]);
        PyTuple_SET_ITEM(args.get(), i, positional.items[i]);
    }
    return args;
}

// The current binding of the module name `Singleton`.
OwnedRef
lookup_singleton() noexcept
{
    PyObject *found = PyDict_GetItemWithError(state.globals, pool.singleton);
    if (found != nullptr) {
        return OwnedRef::borrow(found);
    }
    if (PyErr_Occurred()) {
        return OwnedRef();
    }
    OwnedRef builtin =
        OwnedRef::steal(PyObject_GetAttr(state.builtins, pool.singleton));
    if (!builtin && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined",
                     pool.singleton);
    }
    return builtin;
}

// First instantiation of class_: super(Singleton, class_).__new__(class_,
// *args, **kwargs), stored in the table under class_.
template <class Keywords>
int
create_instance(PyObject *class_, const Positional &positional,
                const Keywords &keywords) noexcept
{
    OwnedRef kwargs = creation_kwargs(keywords);
    if (!kwargs) {
        return SD_FAIL(7);
    }
    OwnedRef base = lookup_singleton();
    if (!base) {
        return SD_FAIL(7);
    }
    OwnedRef super_args = OwnedRef::steal(PyTuple_Pack(2, base.get(), class_));
    if (!super_args) {
        return SD_FAIL(7);
    }
    OwnedRef proxy =
        OwnedRef::steal(call_checked(state.super, super_args.get(), nullptr));
    if (!proxy) {
        return SD_FAIL(7);
    }
    OwnedRef parent_new =
        OwnedRef::steal(PyObject_GetAttr(proxy.get(), pool.new_));
    if (!parent_new) {
        return SD_FAIL(7);
    }
    OwnedRef args = creation_args(class_, positional);
    if (!args) {
        return SD_FAIL(7);
    }
    OwnedRef instance = OwnedRef::steal(
        call_checked(parent_new.get(), args.get(), kwargs.get()));
    if (!instance) {
        return SD_FAIL(7);
    }
    OwnedRef table = OwnedRef::steal(PyObject_GetAttr(class_, pool.instances));
    if (!table) {
        return SD_FAIL(7);
    }
    if (PyObject_SetItem(table.get(), class_, instance.get()) < 0) {
        return SD_FAIL(7);
    }
    return 0;
}

// The instance of class_ when nothing could tell the lookups apart from
// the general path's two fetches of `_instances`, membership test and item
// read: class_'s metaclass is `type` itself (so fetching the attribute runs
// no code and finds the class attribute), the table is a plain dict and
// the key hashes and compares by identity.  A new reference, or NULL
// (with no exception) to take the general path.
PyObject *
cached_instance(PyObject *class_) noexcept
{
    if (Py_TYPE(class_) != &PyType_Type) {
        return nullptr;
    }
    PyObject *table = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(class_),
                                     pool.instances);
    if (table == nullptr || !PyDict_CheckExact(table)) {
        return nullptr;
    }
    PyObject *instance = PyDict_GetItemWithError(table, class_);
    Py_XINCREF(instance);
    return instance;
}

template <class Keywords>
PyObject *
new_body(PyObject *class_, const Positional &positional,
         const Keywords &keywords) noexcept
{
    PyObject *cached = cached_instance(class_);
    if (cached != nullptr) {
        return cached;
    }
    int found;
    {
        OwnedRef table =
            OwnedRef::steal(PyObject_GetAttr(class_, pool.instances));
        if (!table) {
            return SD_FAIL(6);
        }
        found = PySequence_Contains(table.get(), class_);
        if (found < 0) {
            return SD_FAIL(6);
        }
    }
    if (!found && create_instance(class_, positional, keywords) < 0) {
        return nullptr;
    }
    OwnedRef table = OwnedRef::steal(PyObject_GetAttr(class_, pool.instances));
    if (!table) {
        return SD_FAIL(8);
    }
    PyObject *instance = PyObject_GetItem(table.get(), class_);
    if (instance == nullptr) {
        return SD_FAIL(8);
    }
    return instance;
}

// __new__ but the traceback entry; all references are gone when it
// returns.
template <class Keywords>
PyObject *
new_steps(const Positional &positional, const Keywords &keywords) noexcept
{
    OwnedRef class_;
    if (bind(positional, keywords, class_) < 0) {
        return nullptr;
    }
    return new_body(class_.get(), positional, keywords);
}

template <class Keywords>
PyObject *
singleton_new(const Positional &positional, const Keywords &keywords) noexcept
{
    PyObject *instance = new_steps(positional, keywords);
    if (instance == nullptr) {
        add_traceback(kNewFunctionName);
    }
    return instance;
}

PyObject *
singleton_new_call(PyObject *, PyObject *args, PyObject *kwargs) noexcept
{
    Positional positional = {&PyTuple_GET_ITEM(args, 0),
                             PyTuple_GET_SIZE(args), args};
    return singleton_new(positional, DictKeywords(kwargs));
}

#if SYSTEMDEFINE_HAVE_VECTORCALL
PyObject *
singleton_new_vectorcall(PyObject *, PyObject *const *args, size_t nargsf,
                         PyObject *kwnames) noexcept
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Positional positional = {args, nargs, nullptr};
    return singleton_new(positional, VectorKeywords(kwnames, args + nargs));
}
#endif

// ---- Class creation ---------------------------------------------------

// The most derived metaclass of `bases` (borrowed), or NULL with an
// exception set.
PyObject *
calculate_metaclass(PyObject *bases) noexcept
{
    PyObject *winner = nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject *candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        PyObject *meta = reinterpret_cast<PyObject *>(candidate);
        if (winner == nullptr) {
            winner = meta;
            continue;
        }
        PyTypeObject *current = reinterpret_cast<PyTypeObject *>(winner);
        if (PyType_IsSubtype(current, candidate)) {
            continue;
        }
        if (PyType_IsSubtype(candidate, current)) {
            winner = meta;
            continue;
        }
        PyErr_SetString(PyExc_TypeError, kMetaclassConflict);
        return nullptr;
    }
    if (winner == nullptr) {
        winner = reinterpret_cast<PyObject *>(&PyType_Type);
    }
    return winner;
}

// The class namespace from the metaclass's __prepare__, or a new dict when
// it has none.
OwnedRef
prepare_namespace(PyObject *metaclass, PyObject *bases) noexcept
{
    OwnedRef prepare =
        OwnedRef::steal(PyObject_GetAttr(metaclass, pool.prepare));
    if (!prepare) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return prepare;
        }
        PyErr_Clear();
        return OwnedRef::steal(PyDict_New());
    }
    OwnedRef args = OwnedRef::steal(PyTuple_Pack(2, pool.singleton, bases));
    if (!args) {
        return args;
    }
    return OwnedRef::steal(PyObject_Call(prepare.get(), args.get(), nullptr));
}

}  // namespace

PyObject *
new_singleton_code() noexcept
{
    OwnedRef varnames =
        OwnedRef::steal(PyTuple_Pack(3, pool.class_, pool.args, pool.kwargs));
    if (!varnames) {
        return nullptr;
    }
    compat::CodeFields fields = {};
    fields.argcount = 1;
    fields.kwonlyargcount = 0;
    fields.nlocals = 3;
    fields.stacksize = 0;
    fields.flags = CO_VARARGS | CO_VARKEYWORDS;
    fields.code = state.empty_bytes;
    fields.consts = state.empty_tuple;
    fields.names = state.empty_tuple;
    fields.varnames = varnames.get();
    fields.freevars = state.empty_tuple;
    fields.cellvars = state.empty_tuple;
    fields.filename = pool.new_filename;
    fields.name = pool.new_;
    fields.qualname = pool.new_qualname;
    fields.firstlineno = 5;
    fields.linetable = state.empty_bytes;
    return compat::new_code(fields);
}

int
create_singleton() noexcept
{
    OwnedRef bases = OwnedRef::steal(PyTuple_Pack(1, state.object));
    if (!bases) {
        return SD_FAIL(2);
    }
    PyObject *metaclass = calculate_metaclass(bases.get());
    if (metaclass == nullptr) {
        return SD_FAIL(2);
    }
    OwnedRef ns = prepare_namespace(metaclass, bases.get());
    if (!ns) {
        return SD_FAIL(2);
    }
    if (PyObject_SetItem(ns.get(), pool.module, pool.module_name) < 0) {
        return SD_FAIL(2);
    }
    if (PyObject_SetItem(ns.get(), pool.qualname, pool.singleton) < 0) {
        return SD_FAIL(2);
    }

    OwnedRef table = OwnedRef::steal(PyDict_New());
    if (!table) {
        return SD_FAIL(3);
    }
    if (PyObject_SetItem(ns.get(), pool.instances, table.get()) < 0) {
        return SD_FAIL(3);
    }

    FunctionParts parts = {};
    parts.name = pool.new_;
    parts.qualname = pool.new_qualname;
    parts.module = pool.module_name;
    parts.code = state.new_code;
    parts.globals = state.globals;
    parts.call = singleton_new_call;
#if SYSTEMDEFINE_HAVE_VECTORCALL
    parts.vectorcall = singleton_new_vectorcall;
#endif
    OwnedRef new_function_object = OwnedRef::steal(new_function(parts));
    if (!new_function_object) {
        return SD_FAIL(5);
    }
    if (PyObject_SetItem(ns.get(), pool.new_, new_function_object.get()) < 0) {
        return SD_FAIL(5);
    }

    // A namespace from a custom __prepare__ may name the metaclass itself.
    OwnedRef declared =
        OwnedRef::steal(PyObject_GetItem(ns.get(), pool.metaclass));
    if (!declared) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
            return SD_FAIL(2);
        }
        PyErr_Clear();
    }
    OwnedRef args = OwnedRef::steal(
        PyTuple_Pack(3, pool.singleton, bases.get(), ns.get()));
    if (!args) {
        return SD_FAIL(2);
    }
    OwnedRef cls = OwnedRef::steal(PyObject_Call(
        declared ? declared.get() : metaclass, args.get(), nullptr));
    if (!cls) {
        return SD_FAIL(2);
    }
    if (PyDict_SetItem(state.globals, pool.singleton, cls.get()) < 0) {
        return SD_FAIL(2);
    }
    return 0;
}

}  // namespace sd

SYSTEMDEFINE_CHECK_FILE_SIZE;
