#pragma once
// The one error type of the core. Operations report failures by throwing it;
// the binding layer turns it into a Python exception carrying `message` unchanged.
#include <stdexcept>
#include <string>
#include <utility>

namespace quillo {

class Error : public std::exception {
public:
    enum class Kind {
        value,     // an operation's own failure: ValueError
        internal,  // a failed internal check: PanicException
    };

    Error(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    Kind kind_;
    std::string message_;
};

[[noreturn]] inline void fail(std::string message) { throw Error(Error::Kind::value, std::move(message)); }

[[noreturn]] inline void panic(std::string message) { throw Error(Error::Kind::internal, std::move(message)); }

}  // namespace quillo
