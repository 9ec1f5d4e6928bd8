// The version of dovra, kept here and nowhere else: CMake's project() reads
// it from this line, and debian/changelog and the port's DISTVERSION must
// name the same (tests/package checks both).
#pragma once

inline constexpr char DOVRA_VERSION[] = "1.1.0";
