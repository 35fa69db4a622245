// A port opened through the platform's comm calls alone, closed when it goes out of scope.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/comm.h"

namespace platformtest {

class Port {
  public:
    using Bytes = std::vector<uint8_t>;

    explicit Port(const std::string& name) : handle_(qx::platform::CommOpen(name.c_str())) {}
    ~Port() {
        if (ok()) qx::platform::CommClose(handle_);
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    bool ok() const { return handle_ != qx::InvalidHandle(); }
    qx::OsHandle handle() const { return handle_; }
    bool SetTimeouts(qx::COMMTIMEOUTS t) { return qx::platform::CommSetTimeouts(handle_, &t); }
    qx::DCB State() {
        qx::DCB dcb{};
        EXPECT_TRUE(qx::platform::CommGetState(handle_, &dcb));
        return dcb;
    }
    uint32_t Write(const Bytes& bytes) {
        uint32_t done = 0;
        EXPECT_TRUE(qx::platform::CommWrite(handle_, bytes.data(),
                                            static_cast<uint32_t>(bytes.size()), &done));
        return done;
    }
    Bytes Read(uint32_t count) {
        Bytes buffer(count);
        uint32_t done = 0;
        EXPECT_TRUE(qx::platform::CommRead(handle_, buffer.data(), count, &done));
        buffer.resize(done);
        return buffer;
    }

  private:
    qx::OsHandle handle_;
};

}  // namespace platformtest
