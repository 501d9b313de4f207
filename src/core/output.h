// Output parameters: a null output pointer is never written.
#pragma once

namespace qmd {

template <class T, class V>
void Store(T* out, V value) {
    if (out != nullptr) *out = static_cast<T>(value);
}

}  // namespace qmd
