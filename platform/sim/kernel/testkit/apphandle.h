// An application's handle in tests: the file and the device-control shapes tests send
// most, a value in, nothing in or out, a value out (which must come back whole).
#pragma once

#include <gtest/gtest.h>

#include "simkernel/app.h"

namespace kwsim::test {

class AppHandle {
public:
    template <typename T>
    NTSTATUS Set(ULONG code, const T& value)
    {
        return file.Ioctl(code, &value, sizeof value, nullptr, 0).status;
    }
    NTSTATUS Do(ULONG code) { return file.Ioctl(code, nullptr, 0, nullptr, 0).status; }
    template <typename T>
    T Get(ULONG code)
    {
        T value{};
        AppResult r = file.Ioctl(code, nullptr, 0, &value, sizeof value);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, sizeof value);
        return value;
    }

    AppFile file;
};

}  // namespace kwsim::test
