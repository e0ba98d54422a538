// The array-borrow registry shared by the NumPy extensions of a process.
//
// Its record lives in a capsule on NumPy's multiarray module; every
// participating extension calls the record's functions under the GIL, which
// is what serialises them. We only take and end shared borrows ourselves.
#pragma once

#include "numpy_api.hpp"

namespace bravolin {

// Registers a shared borrow of `array`. Faults with "called `Result::unwrap()`
// on an `Err` value: AlreadyBorrowed" on a conflict with an exclusive borrow.
void acquire_shared_borrow(PyArrayObject* array);

// Ends one shared borrow taken by acquire_shared_borrow.
void release_shared_borrow(PyArrayObject* array) noexcept;

// Sets the registry up (finding or installing its capsule). Faults with
// "Interal borrow checking API error: ..." when the existing one is unusable.
void ensure_borrow_registry();

}  // namespace bravolin
