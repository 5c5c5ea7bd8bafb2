#pragma once

// The program's name and version: window class and caption, log banner,
// settings section and the caption of the start-up messages all use these.
constexpr const char kProgramTitle[] = "XR3300/R SystemUpdate Utility";
constexpr const char kProgramVersion[] = "1.3";
