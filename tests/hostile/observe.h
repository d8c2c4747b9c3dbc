#pragma once

#include "network/eventwait.h"

#include <gtest/gtest.h>

#include <QtGlobal>

#include <iostream>
#include <string>

// What the hostile tests share: their measures, and how they report what they observed.

// One exchange with the service: a few of its one-second passes, with room to spare.
constexpr int kStepMs = 20000;

// Under the sanitizers, resident memory says little (shadow memory, the quarantine of freed
// blocks): it is reported, not checked, and the leak checker at the service's exit stands in.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMemoryChecked = false;
#else
constexpr bool kMemoryChecked = true;
#endif

inline int step()
{
    return testsupport::scaledTimeout(kStepMs);
}

inline std::string ms(qint64 value)
{
    return std::to_string(value) + " ms";
}

inline std::string mib(qint64 kib)
{
    const qint64 tenths = (kib < 0 ? -kib : kib) * 10 / 1024;
    return (kib < 0 ? "-" : "") + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " MiB";
}

// What a test observed, for the report: printed and kept in the XML output.
inline void observe(const std::string &key, const std::string &value)
{
    std::cout << "[observed] " << key << ": " << value << std::endl;
    ::testing::Test::RecordProperty(key, value);
}
