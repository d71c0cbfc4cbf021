#pragma once

#include <cerrno>
#include <optional>
#include <string>
#include <utility>
#include <variant>

// Why an engine call failed: errno, or the engine's own reason, and the file once a caller has named it.
struct Fault {
    Fault() = default;
    explicit Fault(int errorNumber, std::string why = {}) : error(errorNumber), reason(std::move(why)) {}

    int error = 0; // 0 when `reason` says why
    std::string reason;
    std::string path;
    bool atDestination = false; // of a copy: the fault lies with the file written to

    static Fault ofErrno() { return Fault{errno}; }
    static Fault because(std::string reason) { return Fault{0, std::move(reason)}; }

    std::string why() const;
    // "PATH: why", or why alone.
    std::string description() const;
    // Names the file, unless a call nearer to the fault did.
    Fault named(const std::string& file) const&;
};

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

inline Status statusOf(bool succeeded) {
    return succeeded ? Status{} : Status{Fault::ofErrno()};
}
