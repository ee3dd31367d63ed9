// Runs the built helper as a real child process and talks to it through its
// three standard streams, with display servers of its own, so that the
// end-to-end tests need nothing from the machine but the programs.
//
// Nothing here may hang: every read, write and wait has a time limit, and a
// helper that does not keep it fails the test and is killed.
#pragma once

#include "clock.hpp"      // Duration
#include "displays.hpp"   // Xvfb and weston, QOR_E2E_NEED_DISPLAY
#include "helper.hpp"     // Helper, its options and time limits, log_lines
#include "json.hpp"       // Json, parse_json, answer_type
#include "png.hpp"        // Picture, decode_png
#include "processes.hpp"  // descendants and descriptors through /proc
#include "server.hpp"     // LocalServer on the loopback interface
#include "text.hpp"       // split_lines
