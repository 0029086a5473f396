// A temporary directory removed with everything in it when the object goes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// Whole-file helpers; readFile returns an empty vector for a missing file.
std::vector<std::uint8_t> readFile(const std::string& path);
std::string readText(const std::string& path);
void writeFile(const std::string& path, const std::vector<std::uint8_t>& data);
void writeText(const std::string& path, const std::string& text);
// `text` cut into lines, without their newlines.
std::vector<std::string> lines(const std::string& text);
// The names in directory `dir` ("." and ".." left out), sorted; none when it cannot be read.
std::vector<std::string> entries(const std::string& dir);
