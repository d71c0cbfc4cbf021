#pragma once

#include <cerrno>
#include <optional>
#include <string>
#include <utility>
#include <variant>

// Why an engine call failed, in the one form every call reports it: the system's
// errno, or the engine's own reason where no errno says it (a file that ended early,
// a checksum that could not be computed), and the file it concerns once a caller that
// knows its name has named it.
struct Fault {
    Fault() = default;
    explicit Fault(int errorNumber, std::string why = {}) : error(errorNumber), reason(std::move(why)) {}

    int error = 0; // errno of the failing call; 0 when `reason` says why
    std::string reason;
    std::string path; // as the user named it; empty until someone names it
    // For a call between two files (a copy): the fault lies with the one written to.
    bool atDestination = false;

    // The fault errno tells now.
    static Fault ofErrno() { return Fault{errno}; }
    static Fault because(std::string reason) { return Fault{0, std::move(reason)}; }

    // What a user reads: `reason`, or the system's text for `error`.
    std::string why() const;
    // "PATH: why", or why alone when no file was named.
    std::string description() const;
    // Names the file, unless a call nearer to the fault did.
    Fault named(const std::string& file) const&;
};

// A value, or the Fault that kept it from being made.
template <typename T> class [[nodiscard]] Result {
public:
    Result(T value) : m_state(std::in_place_index<0>, std::move(value)) {}
    Result(Fault fault) : m_state(std::in_place_index<1>, std::move(fault)) {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& operator*() { return std::get<0>(m_state); }
    const T& operator*() const { return std::get<0>(m_state); }
    T* operator->() { return &std::get<0>(m_state); }
    const T* operator->() const { return &std::get<0>(m_state); }
    const Fault& fault() const { return std::get<1>(m_state); }

private:
    std::variant<T, Fault> m_state;
};

// Success, or the Fault of a call that gives nothing else back.
template <> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Fault fault) : m_fault(std::move(fault)) {}

    bool ok() const { return !m_fault; }
    explicit operator bool() const { return ok(); }
    const Fault& fault() const { return *m_fault; }

private:
    std::optional<Fault> m_fault;
};

using Status = Result<void>;

// Success when `succeeded`, else the fault errno tells.
inline Status statusOf(bool succeeded) {
    return succeeded ? Status{} : Status{Fault::ofErrno()};
}
