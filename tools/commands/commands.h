// The commands of `pelk_perf_util`, one source each, and the table that
// dispatches to them.  Each takes its words (without the command's name),
// writes its normal output to out and its messages to err, and returns an
// Exit status.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "command_line.h"
#include "log_input.h"

namespace pelk_tool {

using Args = std::vector<std::string>;

int simulate_command(const Args &args, std::ostream &out, std::ostream &err);  // simulate.cpp
int parse_command(const Args &args, std::ostream &out, std::ostream &err);     // parse.cpp
int plot_command(const Args &args, std::ostream &out, std::ostream &err);      // plot.cpp
// `run` is a program of its own, with the live kernel (run.h): this hands the
// process over to it, with the same words.  Returns only when it could not.
int run_command(const Args &args, std::ostream &out, std::ostream &err);       // commands.cpp

// True, with the refusal on err, when the output file would destroy one of
// the inputs before it is read: the same file (device and inode, whatever the
// links or names lead to it, standard input included), or a file inside an
// input directory.  Checked before the output is opened.
bool output_is_an_input(const std::string &output, const Args &inputs, std::ostream &err);

// The bounds on how far a compressed log or an archive may expand, as `parse`
// and `plot` take them: their lines of help, and the reader of the two options.
#define PELK_INPUT_LIMITS_HELP                                                 \
  "  --max-decompressed N   refuse a compressed log or archive that expands\n" \
  "                         beyond N bytes (K, M, G allowed; default 16G)\n"   \
  "  --max-ratio N          refuse one that expands more than N times its\n"    \
  "                         size (default 1000)\n"
// False when the word w stands at is neither --max-decompressed nor
// --max-ratio; else true, its value taken into limits, or the complaint in
// *error when the value is missing or not a positive count.
bool input_limit_option(Words &w, InputLimits &limits, std::string *error);

// Runs the program with args (without the program's name): looks the
// command up in the table and runs it.
int run_cli(const Args &args, std::ostream &out, std::ostream &err);

// The program that serves `run` (pelk_perf_run): installed next to the
// module, or the one built with this program.
std::string run_program_path();

}  // namespace pelk_tool
