#include "borrow_registry.hpp"
#include "messages.hpp"

#include <cstdint>
#include <limits>
#include <map>
#include <numeric>
#include <string>
#include <tuple>
#include <unordered_map>

#include "process_state.hpp"
#include "strassen/fault.hpp"

namespace bravolin {

// The record other extensions read: a fixed in-memory interface, every field
// 8 bytes wide.
struct BorrowApi {
    std::uint64_t version;
    void* flags;
    int (*acquire)(void* flags, PyArrayObject* array);
    int (*acquire_mut)(void* flags, PyArrayObject* array);
    void (*release)(void* flags, PyArrayObject* array);
    void (*release_mut)(void* flags, PyArrayObject* array);
};
static_assert(sizeof(BorrowApi) == 48);

namespace {

constexpr const char* CAPSULE_NAME = "_RUST_NUMPY_BORROW_CHECKING_API";


// What part of memory an array's elements may touch, and on which lattice.
struct BorrowKey {
    std::intptr_t range_start;
    std::intptr_t range_end;
    std::intptr_t data_ptr;
    // Of the strides' magnitudes: a stride may be INT64_MIN (on an axis of
    // length 1 NumPy allows any), whose magnitude has no signed type.
    std::uint64_t gcd_strides;

    auto operator<=>(const BorrowKey&) const = default;
};

using KeyCounts = std::map<BorrowKey, std::int64_t>;  // >0 shared borrows, -1 exclusive
using Registry = std::unordered_map<void*, KeyCounts>;  // by base address

std::intptr_t saturate(__int128 v) {
    constexpr auto lo = std::numeric_limits<std::intptr_t>::min();
    constexpr auto hi = std::numeric_limits<std::intptr_t>::max();
    return static_cast<std::intptr_t>(v < lo ? lo : (v > hi ? hi : v));
}

// |v| without the overflow of negating INT64_MIN in its own type.
std::uint64_t magnitude(npy_intp v) {
    const auto u = static_cast<std::uint64_t>(v);
    return v < 0 ? 0 - u : u;
}

void* base_address(PyArrayObject* array) {
    PyArrayObject* current = array;
    for (;;) {
        PyObject* base = PyArray_BASE(current);
        if (base == nullptr) return current;
        if (!PyArray_Check(base)) return base;
        current = reinterpret_cast<PyArrayObject*>(base);
    }
}

BorrowKey borrow_key(PyArrayObject* array) {
    const int nd = PyArray_NDIM(array);
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    const auto data = reinterpret_cast<std::intptr_t>(PyArray_DATA(array));
    bool empty = nd == 0;
    for (int i = 0; i < nd; ++i) empty = empty || dims[i] == 0;
    BorrowKey key{data, data, data, nd == 0 ? 1u : 0u};
    __int128 low = 0, high = 0;
    for (int i = 0; i < nd; ++i) {
        const __int128 extent = static_cast<__int128>(dims[i] - 1) * strides[i];
        (extent < 0 ? low : high) += extent;
        key.gcd_strides = std::gcd(key.gcd_strides, magnitude(strides[i]));
    }
    if (!empty) {
        key.range_start = saturate(data + low);
        key.range_end = saturate(data + high + PyArray_ITEMSIZE(array));
    }
    return key;
}

bool conflict(const BorrowKey& a, const BorrowKey& b) {
    if (b.range_start >= a.range_end || a.range_start >= b.range_end) return false;
    const std::uint64_t g = std::gcd(a.gcd_strides, b.gcd_strides);
    // All-zero strides on both sides (broadcast views): no lattice to tell
    // the two apart, so they are taken to conflict.
    if (g == 0) return true;
    const __int128 diff = static_cast<__int128>(a.data_ptr) - b.data_ptr;
    return diff % g == 0;
}

Registry& registry_of(void* flags) { return *static_cast<Registry*>(flags); }

int acquire(void* flags, PyArrayObject* array) {
    Registry& registry = registry_of(flags);
    void* address = base_address(array);
    const BorrowKey key = borrow_key(array);
    auto found = registry.find(address);
    if (found != registry.end()) {
        KeyCounts& keys = found->second;
        if (auto same = keys.find(key); same != keys.end()) {
            if (same->second < 0 || same->second == std::numeric_limits<std::int64_t>::max())
                return -1;
            ++same->second;
            return 0;
        }
        for (const auto& [other, count] : keys)
            if (count < 0 && conflict(key, other)) return -1;
        keys.emplace(key, 1);
        return 0;
    }
    registry[address].emplace(key, 1);
    return 0;
}

int acquire_mut(void* flags, PyArrayObject* array) {
    if (!PyArray_ISWRITEABLE(array)) return -2;
    Registry& registry = registry_of(flags);
    void* address = base_address(array);
    const BorrowKey key = borrow_key(array);
    KeyCounts& keys = registry[address];
    if (keys.contains(key)) return -1;
    for (const auto& entry : keys)
        if (conflict(key, entry.first)) return -1;
    keys.emplace(key, -1);
    return 0;
}

// Drops `key` under `address` when `update` leaves its count at 0.
template <class Update>
void end_borrow(void* flags, PyArrayObject* array, Update update) {
    Registry& registry = registry_of(flags);
    auto found = registry.find(base_address(array));
    if (found == registry.end()) return;
    KeyCounts& keys = found->second;
    auto entry = keys.find(borrow_key(array));
    if (entry == keys.end()) return;
    update(entry->second);
    if (entry->second == 0) keys.erase(entry);
    if (keys.empty()) registry.erase(found);
}

void release(void* flags, PyArrayObject* array) {
    end_borrow(flags, array, [](std::int64_t& count) { --count; });
}

void release_mut(void* flags, PyArrayObject* array) {
    end_borrow(flags, array, [](std::int64_t& count) { count = 0; });
}

void destroy_capsule(PyObject* capsule) {
    auto* api = static_cast<BorrowApi*>(PyCapsule_GetPointer(capsule, CAPSULE_NAME));
    if (api == nullptr) {
        PyErr_Clear();
        return;
    }
    delete static_cast<Registry*>(api->flags);
    delete api;
}


[[noreturn]] void registry_fault() {
    strassen::fault(std::string(messages::BORROW_API_ERROR) +
                    describe_and_clear_error());
}

PyObject* install(PyObject* module) {
    auto* registry = new Registry();
    auto* record = new BorrowApi{1, registry, acquire, acquire_mut, release, release_mut};
    PyObject* capsule = PyCapsule_New(record, CAPSULE_NAME, destroy_capsule);
    if (capsule == nullptr) {
        delete registry;
        delete record;
        registry_fault();
    }
    if (PyObject_SetAttrString(module, CAPSULE_NAME, capsule) < 0) {
        Py_DECREF(capsule);
        registry_fault();
    }
    return capsule;
}

}  // namespace

void ensure_borrow_registry() {
    if (process_state.borrow_api != nullptr) return;
    PyRef module(PyImport_ImportModule(multiarray_module_name()));
    if (!module) registry_fault();
    PyRef capsule(PyObject_GetAttrString(module.get(), CAPSULE_NAME));
    if (!capsule) {
        PyErr_Clear();
        capsule = PyRef(install(module.get()));
    }
    if (!PyCapsule_CheckExact(capsule.get())) {
        raise_conversion_error(capsule.get(), messages::CAPSULE_TARGET);
        registry_fault();
    }
    auto* record = static_cast<const BorrowApi*>(PyCapsule_GetPointer(capsule.get(), CAPSULE_NAME));
    if (record == nullptr) registry_fault();
    if (record->version < 1) {
        PyErr_Format(PyExc_RuntimeError, "borrow checking API version %llu is too old",
                     static_cast<unsigned long long>(record->version));
        registry_fault();
    }
    process_state.borrow_api = record;
    process_state.borrow_api_capsule = capsule.release();
}

void acquire_shared_borrow(PyArrayObject* array) {
    ensure_borrow_registry();
    const BorrowApi* api = process_state.borrow_api;
    const int rc = api->acquire(api->flags, array);
    if (rc == 0) return;
    if (rc == -1) strassen::fault(messages::BORROW_CONFLICT);
    strassen::fault("Unexpected return code " + std::to_string(rc) + " from borrow checking API");
}

void release_shared_borrow(PyArrayObject* array) noexcept {
    if (const BorrowApi* api = process_state.borrow_api) api->release(api->flags, array);
}

}  // namespace bravolin
