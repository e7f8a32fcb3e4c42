// The zypack command: lists, extracts, adds, deletes and verifies the
// entries of pack files, through TZyPack's own operations.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// Runs one command line (without the program name): "list PACK",
// "extract PACK [NAME...] [-C DIR]", "add PACK FILE... [--store]",
// "delete PACK NAME...", "verify PACK" or "--help". Listings and help go to
// `out`; errors, and the pack's own message boxes and exception texts, go
// to `err` in UTF-8. Returns the exit status: 0 done, 1 failed (any message
// of the pack counts as a failure), 2 wrong usage.
//
// The application object must exist; its message sink is replaced for the
// run and put back afterwards. `add` works in the pack's folder for its
// duration (the codec's temporary file is made in the current folder) and
// returns to the folder it started in.
int RunZypack(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
