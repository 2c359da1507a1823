// The parameters' names as the name lines give them (each line's last token; empty for a blank
// line), kept in one text.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "failure/text.hpp"

namespace quorel {

class NameList {
public:
    void append(std::string_view name) {
        text_.append(name);
        ends_.push_back(text_.size());
    }
    std::size_t size() const noexcept { return ends_.size(); }
    std::string_view operator[](std::size_t i) const noexcept {
        const std::size_t start = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(text_).substr(start, ends_[i] - start);
    }

private:
    Text text_;
    std::vector<std::size_t> ends_;
};

}  // namespace quorel
