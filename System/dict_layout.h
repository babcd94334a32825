// The layout of a dict's keys, as the runtime lays them out.
//
// The cache of instances (instance_cache.cpp) reads a table's index and
// entries to tell what a lookup in it would meet.  Their layout is not
// public API (Objects/dict-common.h up to 3.10, Include/internal/
// pycore_dict.h from 3.11), so it is mirrored here, per runtime, and
// instance_cache.cpp checks the mirror against dicts it builds at import
// before it reads any other dict with it.  compat.h says which
// runtime has which layout.
//
// - The dict (PyDictObject, public) points to its keys object; a split
//   table keeps its values apart, in ma_values, which is NULL otherwise.
// - The keys object starts with a header (Head below), then the index:
//   one slot per position of the table, whose size is a power of two,
//   each 1, 2, 4 or 8 bytes wide by that size (up to 128 positions, up
//   to 32768, up to 2**31, beyond: 64-bit builds only).  A slot holds an
//   entry's number, or kEmptySlot (never used) or kDummySlot (its key was
//   deleted).  From 3.11 the header says the width itself, as log2 of
//   the index's size in bytes.
// - The entries follow the index directly.  Those of general keys are
//   {hash, key, value} (Entry below).  Up to 3.10 every kind is laid out
//   so; from 3.11 str-only and split keys leave out the hash, and the
//   header says the kind (general keys: 0).
//
// Only the module's own offsets and reads live here; what a lookup does
// with them is instance_cache.h's.  PyPy's dicts are its own: no mirror.
#ifndef SYSTEMDEFINE_DICT_LAYOUT_H
#define SYSTEMDEFINE_DICT_LAYOUT_H

#include "compat.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace sd {

#if SYSTEMDEFINE_DICT_LAYOUT != 0
struct DictKeys {
    static constexpr bool kMirror = true;

#if SYSTEMDEFINE_DICT_LAYOUT < 311
    struct Head {
        Py_ssize_t dk_refcnt;
        Py_ssize_t dk_size;
        void (*dk_lookup)(void);
        Py_ssize_t dk_usable;
        Py_ssize_t dk_nentries;
#if SYSTEMDEFINE_DICT_LAYOUT == 36
        // 3.6 declares the start of the index as a union, which aligns it.
        union {
            std::int8_t as_1[8];
            std::int16_t as_2[4];
            std::int32_t as_4[2];
#if SIZEOF_VOID_P > 4
            std::int64_t as_8[1];
#endif
        } dk_indices;
#else
        // char dk_indices[] follows here.
#endif
    };
#else
    struct Head {
        Py_ssize_t dk_refcnt;
        std::uint8_t dk_log2_size;
        std::uint8_t dk_log2_index_bytes;
        std::uint8_t dk_kind;
#if defined(Py_GIL_DISABLED)
        std::uint8_t dk_mutex;  // a PyMutex: one byte
#endif
        std::uint32_t dk_version;
        Py_ssize_t dk_usable;
        Py_ssize_t dk_nentries;
        // char dk_indices[] follows here.
    };
#endif
    struct Entry {
        Py_hash_t me_hash;
        PyObject *me_key;
        PyObject *me_value;
    };

#if SYSTEMDEFINE_DICT_LAYOUT == 36
    static constexpr size_t kIndex = offsetof(Head, dk_indices);
#else
    static constexpr size_t kIndex =
        offsetof(Head, dk_nentries) + sizeof(Py_ssize_t);
#endif
    static constexpr Py_ssize_t kEmptySlot = -1;
    static constexpr Py_ssize_t kDummySlot = -2;
    // How far the walk of the index shifts the hash at each step.
    static constexpr unsigned kPerturbShift = 5;

    template <class T>
    static T
    read(const char *at) noexcept
    {
        T value;
        std::memcpy(&value, at, sizeof(value));
        return value;
    }

    // Whether a walk of `dict`'s keys (an exact dict's) for a key that is
    // no str reads entries laid out as Entry, and then its keys object in
    // `keys`.  From 3.11 only general keys (kind 0) are laid out so; a
    // split table's keys are of the split kind.  Up to 3.10 every kind is
    // laid out so, and a table of keys of str only switches to the
    // general lookup when it is asked for another key.  A split table
    // keeps its values apart (ma_values), but its keys are str only (a key
    // of another type makes it combined first): the walk never meets its
    // key's own entry there, whose value it would read.
    static bool
    general_keys(PyObject *dict, const char *&keys) noexcept
    {
        PyDictObject *table = reinterpret_cast<PyDictObject *>(dict);
        keys = reinterpret_cast<const char *>(table->ma_keys);
#if SYSTEMDEFINE_DICT_LAYOUT < 311
        return true;
#else
        return read<std::uint8_t>(keys + offsetof(Head, dk_kind)) == 0;
#endif
    }

    // Whether slots are one byte wide: up to kByteSlots positions.  From
    // 3.11 read off the log2 of the size, before the size is made of it.
    static bool
    byte_slots(const char *keys) noexcept
    {
#if SYSTEMDEFINE_DICT_LAYOUT < 311
        return size(keys) <= kByteSlots;
#else
        return read<std::uint8_t>(keys + offsetof(Head, dk_log2_size)) <= 7;
#endif
    }

    // The number of positions, a power of two.
    static size_t
    size(const char *keys) noexcept
    {
#if SYSTEMDEFINE_DICT_LAYOUT < 311
        return static_cast<size_t>(
            read<Py_ssize_t>(keys + offsetof(Head, dk_size)));
#else
        return size_t(1) << read<std::uint8_t>(keys +
                                               offsetof(Head, dk_log2_size));
#endif
    }

    // Up to this many positions a slot is one byte wide.
    static constexpr size_t kByteSlots = 0x80;

    // log2 of a slot's width in bytes, by the number of positions.
    static unsigned
    log2_width(const char *keys) noexcept
    {
        size_t positions = size(keys);
        return positions <= kByteSlots    ? 0u
               : positions <= 0x8000      ? 1u
               : positions <= 0x80000000u ? 2u
                                          : 3u;
    }

    // Whether the header agrees with log2_width(), where it says the
    // width itself (from 3.11, as log2 of the index's size in bytes).
    static bool
    width_agrees(const char *keys) noexcept
    {
#if SYSTEMDEFINE_DICT_LAYOUT < 311
        (void)keys;
        return true;
#else
        return read<std::uint8_t>(keys +
                                  offsetof(Head, dk_log2_index_bytes)) ==
               read<std::uint8_t>(keys + offsetof(Head, dk_log2_size)) +
                   log2_width(keys);
#endif
    }

    static Py_ssize_t
    entry_count(const char *keys) noexcept
    {
        return read<Py_ssize_t>(keys + offsetof(Head, dk_nentries));
    }

    static const char *
    index(const char *keys) noexcept
    {
        return keys + kIndex;
    }

    static const char *
    entries(const char *keys) noexcept
    {
        return index(keys) + (size(keys) << log2_width(keys));
    }

    // The slot at `position` of an index of slots 2**log2 bytes wide.
    static Py_ssize_t
    slot(const char *index, size_t position, unsigned log2) noexcept
    {
        // Most tables are small: their width first.
        if (log2 == 0) {
            return read<std::int8_t>(index + position);
        }
        if (log2 == 1) {
            return read<std::int16_t>(index + 2 * position);
        }
        if (log2 == 2) {
            return read<std::int32_t>(index + 4 * position);
        }
        return static_cast<Py_ssize_t>(
            read<std::int64_t>(index + 8 * position));
    }

    static Py_hash_t
    entry_hash(const char *entries, Py_ssize_t number) noexcept
    {
        return read<Py_hash_t>(entries + at(number) +
                               offsetof(Entry, me_hash));
    }

    static PyObject *
    entry_key(const char *entries, Py_ssize_t number) noexcept
    {
        return read<PyObject *>(entries + at(number) +
                                offsetof(Entry, me_key));
    }

    static PyObject *
    entry_value(const char *entries, Py_ssize_t number) noexcept
    {
        return read<PyObject *>(entries + at(number) +
                                offsetof(Entry, me_value));
    }

private:
    // The offset of entry `number` (not negative), reckoned in signed
    // arithmetic as the slot holding it is read: no widening in between.
    static Py_ssize_t
    at(Py_ssize_t number) noexcept
    {
        return number * static_cast<Py_ssize_t>(sizeof(Entry));
    }
};
#else
// Nothing to read: a walk stops before it starts.
struct DictKeys {
    static constexpr bool kMirror = false;
};
#endif

}  // namespace sd

#endif  // SYSTEMDEFINE_DICT_LAYOUT_H
