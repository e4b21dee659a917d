// A fallible core result: either a value or a message text, never both.
// The core never throws; callers test the result and read one side.
#pragma once

#include <string>
#include <utility>

namespace tq {

template <class T>
class Result {
public:
    static Result success(T value) { return Result(std::move(value), {}, true); }
    static Result failure(std::string message) { return Result(T{}, std::move(message), false); }

    explicit operator bool() const { return ok_; }
    bool ok() const { return ok_; }
    const T& value() const { return value_; }
    const std::string& error() const { return error_; }

private:
    Result(T value, std::string error, bool ok)
        : value_(std::move(value)), error_(std::move(error)), ok_(ok) {}

    T value_;
    std::string error_;
    bool ok_;
};

}  // namespace tq
