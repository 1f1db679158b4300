// The one dispatch on the class count: searches keep copies of their per-class loops for small
// fixed counts (the loops unroll and the running sums stay in registers) and a general copy
// for any count.
#pragma once

#include <cstdint>
#include <type_traits>

namespace morvel {

// Class counts of 2 .. kMaxUnrolledClasses may have a copy of their own.
inline constexpr uint64_t kMaxUnrolledClasses = 8;

template <uint64_t K>
using ClassCount = std::integral_constant<uint64_t, K>;

namespace detail {

template <uint64_t K, uint64_t kMax, class Fn, class Otherwise>
[[gnu::always_inline]] inline decltype(auto) class_count_from(uint64_t n, Fn& fn, Otherwise& otherwise) {
  if constexpr (K > kMax) {
    return otherwise();
  } else {
    if (n == K) return fn(ClassCount<K>{});
    return class_count_from<K + 1, kMax>(n, fn, otherwise);
  }
}

}  // namespace detail

// Calls fn(ClassCount<K>{}) with K = n when kMin <= n <= kMax, else otherwise(): the general
// copy, or a failure where the caller serves no other count.
template <uint64_t kMin, uint64_t kMax, class Fn, class Otherwise>
[[gnu::always_inline]] inline decltype(auto) with_class_count_in(uint64_t n, Fn&& fn, Otherwise&& otherwise) {
  static_assert(2 <= kMin && kMin <= kMax && kMax <= kMaxUnrolledClasses,
                "class-count copies exist for 2 .. kMaxUnrolledClasses classes");
  return detail::class_count_from<kMin, kMax>(n, fn, otherwise);
}

// Calls fn(ClassCount<K>{}) with K = n when 2 <= n <= kMax, else with K = 0, which stands for
// "any count, read at run time". A site picks kMax by how many copies its loops are worth.
template <uint64_t kMax, class Fn>
[[gnu::always_inline]] inline decltype(auto) with_class_count(uint64_t n, Fn&& fn) {
  return with_class_count_in<2, kMax>(n, fn, [&]() -> decltype(auto) { return fn(ClassCount<0>{}); });
}

// The class count a loop runs over: the compile-time K when there is one.
template <uint64_t K>
constexpr uint64_t classes_or(uint64_t n) {
  return K != 0 ? K : n;
}

}  // namespace morvel
