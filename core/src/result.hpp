// A fallible core result: either a value or a message text, never both.
// The core never throws; callers test the result and read one side.
//
// A fixed message (a string literal) is held by pointer, so neither a success nor a failure with a fixed text
// allocates; only messages that quote the caller's text own a std::string, held by pointer too, so a success is a
// value, a flag and two null pointers.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace tq {

template <class T>
class Result {
public:
    static Result success(T value) { return Result(std::move(value)); }
    // `message` must outlive the result: a string literal.
    static Result failure(const char* message) { return Result(message); }
    static Result failure(std::string message) { return Result(std::move(message)); }

    explicit operator bool() const { return ok_; }
    bool ok() const { return ok_; }
    const T& value() const { return value_; }
    // Empty for a success.
    std::string_view error() const {
        if (fixed_ != nullptr) return fixed_;
        return owned_ != nullptr ? std::string_view(*owned_) : std::string_view();
    }

private:
    explicit Result(T value) : value_(std::move(value)), ok_(true) {}
    explicit Result(const char* message) : value_{}, fixed_(message), ok_(false) {}
    explicit Result(std::string message)
        : value_{}, owned_(std::make_unique<std::string>(std::move(message))), ok_(false) {}

    T value_;
    const char* fixed_ = nullptr;
    std::unique_ptr<std::string> owned_;
    bool ok_;
};

}  // namespace tq
