#pragma once
#include <utility>

namespace quennet {

// Runs a cleanup when the scope ends, by a return or by an exception,
// unless disarmed first. Long operations put their end here so that no
// path out of them skips it.
template <typename F>
class AtExit {
public:
    explicit AtExit(F f) : f_(std::move(f)) {}
    ~AtExit() {
        if (armed_) f_();
    }
    AtExit(const AtExit&) = delete;
    AtExit& operator=(const AtExit&) = delete;
    void Disarm() { armed_ = false; }

private:
    F f_;
    bool armed_ = true;
};

}  // namespace quennet
