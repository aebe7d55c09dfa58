#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <string_view>

namespace kelvo::testing {

// A table row's description as its test's name: runs of anything but letters and digits become
// one underscore, since a parameterised test's name may hold nothing else.
inline std::string RowName(std::string_view what) {
    std::string name;
    for (const char c : what) {
        if (std::isalnum(static_cast<unsigned char>(c)))
            name += c;
        else if (!name.empty() && name.back() != '_')
            name += '_';
    }
    while (!name.empty() && name.back() == '_')
        name.pop_back();
    return name;
}

// For INSTANTIATE_TEST_SUITE_P: each row named by its `what`.
struct NamedByWhat {
    template <class Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
        return RowName(info.param.what);
    }
};

// For INSTANTIATE_TEST_SUITE_P: each row named by its `name`, written as a test name already.
struct NamedByName {
    template <class Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
        return std::string(info.param.name);
    }
};

}  // namespace kelvo::testing
