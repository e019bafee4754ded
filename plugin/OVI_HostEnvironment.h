// What a host that owns the terminal tells the plug-in through the
// environment (the plug-in carries its own copy of the platform layer, so a
// process-wide setting is the one channel both copies read). A host that sets
// none of these gets the plug-in's plain behaviour.
#pragma once

#include <cstddef>
#include <string>

namespace ORVEX {

// "catch": eRun catches SIGINT and SIGTERM (chained to the host's own
// handler) and stops at the next file boundary, leaving every output either
// as it was or complete.
inline constexpr const char* kHostInterruptsVariable = "ORVEX_HOST_INTERRUPTS";
inline constexpr const char* kHostInterruptsCatch = "catch";

// How OVC_OutputString routes its lines: "quiet" (errors only, on standard
// error), "normal" (warnings and errors on standard error, info lines
// dropped) or "verbose" (info lines on standard output too). Unset: every
// line on standard output, as the interface specifies.
inline constexpr const char* kHostOutputVariable = "ORVEX_HOST_OUTPUT";
inline constexpr const char* kHostOutputQuiet = "quiet";
inline constexpr const char* kHostOutputNormal = "normal";
inline constexpr const char* kHostOutputVerbose = "verbose";

// Paths of the parameter block that the host rewrote (to be seen from the
// work folder it changed into), each with the spelling the user gave:
// "BLOCK\x1fGIVEN" pairs separated by "\x1e". Routed lines show the given
// spelling, so that messages name paths as the user typed them.
inline constexpr const char* kHostPathsVariable = "ORVEX_HOST_PATHS";
inline constexpr char kHostPathsPairSeparator = '\x1e';
inline constexpr char kHostPathsSeparator = '\x1f';

// `text` with every path of kHostPathsVariable, where it stands as a whole
// path or as the start of one ("BLOCK/..."), spelled as the user gave it.
std::string OVI_PathsAsGiven(std::string text);

// "1": the outputs are reproducible, as when SOURCE_DATE_EPOCH is set: each
// bigfile's segment set stamp is a hash of its own tables and each gzip
// copy's header time that of the source bigfile (or SOURCE_DATE_EPOCH), so
// that a re-run on the same input writes the same bytes.
inline constexpr const char* kHostReproducibleVariable = "ORVEX_HOST_REPRODUCIBLE";
inline constexpr const char* kHostReproducibleOn = "1";

// A file name: at the end of the run the splitter writes the world closures
// it computed there (OVI_ClosuresFile.h), relative to its current folder, so
// that the host's size report takes its sharing figures from them instead of
// mapping the bigfile a second time.
inline constexpr const char* kHostClosuresVariable = "ORVEX_HOST_CLOSURES";

// Writes one line (`text`, without line breaks around it) of `level` as the
// host asked: info lines to standard output, the others to standard error,
// each past the progress line and ended by a newline; lines the host does not
// want are dropped. False, with nothing written, when the host asked for no
// routing.
bool OVI_bWriteRouted(const char* level, const char* text, size_t size);

}  // namespace ORVEX
