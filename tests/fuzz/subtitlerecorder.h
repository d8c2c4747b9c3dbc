#pragma once

#include <string>

// Stands in for the subtitle download in the fuzz targets: no transfer ever leaves the process.
// The last call is kept for the harness to check what Play did with its result.
struct SubtitleCall {
    bool called = false;
    std::string url;
    std::string filePath;
    bool result = false;
};

// Cleared by the harness before each request; written by downloadSubFile.
SubtitleCall &lastSubtitleCall();
