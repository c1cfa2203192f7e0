#pragma once

// The program's version: the main window's title, --version and the Debian package (CMake reads
// this line) all take it from here.
inline constexpr char kTorvaneVersion[] = "2026.7.25.22";
