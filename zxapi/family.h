// The live objects of one family (device objects, log objects) keep their C
// client started: the first to arrive starts it, the last to leave ends it.
// Count and client change in one critical section, so two objects made or
// destroyed at once on two threads can never both miss the start or the end.
#pragma once

namespace zxapi::detail {

class Family {
public:
    // Raises the count and starts the client when it is not started.
    void Join() noexcept;
    // Lowers the count and ends the client when no object is left.
    void Leave() noexcept;
    int Count() const noexcept;

    static Family &Devices() noexcept;  // zxxml_init / zxxml_uninit
    static Family &Logs() noexcept;     // zxpld_init / zxpld_uninit

    Family(int (*init)(), int (*uninit)()) noexcept : init_(init), uninit_(uninit) {}

private:
    int (*init_)();
    int (*uninit_)();
    int count_ = 0;
    bool started_ = false;
};

}  // namespace zxapi::detail
