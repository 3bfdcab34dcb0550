#pragma once
#include <gtest/gtest.h>

#include <cstddef>

namespace quennet::testing {

// Element i of a container the code under test filled, or a value-initialised
// stand-in with a failure when it holds fewer: a wrong result then fails its
// test instead of crashing the binary and losing every later test.
template <class Container>
typename Container::value_type At(const Container& c, std::size_t i) {
    if (i < c.size()) return c[i];
    ADD_FAILURE() << "no element " << i << ": the container holds " << c.size();
    return {};
}

template <class Container>
typename Container::value_type Last(const Container& c) {
    if (!c.empty()) return c.back();
    ADD_FAILURE() << "no last element: the container is empty";
    return {};
}

}  // namespace quennet::testing
