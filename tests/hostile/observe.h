#pragma once

#include <gtest/gtest.h>

#include <iostream>
#include <string>

// What a test observed, for the report: printed and kept in the XML output.
inline void observe(const std::string &key, const std::string &value)
{
    std::cout << "[observed] " << key << ": " << value << std::endl;
    ::testing::Test::RecordProperty(key, value);
}
