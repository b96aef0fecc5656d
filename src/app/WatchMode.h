#pragma once

struct CommandLine;
class Stacker;

// pelorum --watch DIR: the state is read once and the stack kept in memory
// while the folder is watched. Under the state's lock for the whole watch,
// every frame file of DIR (matching --pattern) that the state's frame record
// does not list yet is stacked, in name order, then each new one as soon as
// it is complete (closed by its writer, or moved in); a file already in DIR
// when the watch starts is taken once it has not changed for a second. Each
// frame gets a per-frame run's decisions, log lines and record line, and a
// progress line on standard output; a frame that fails is recorded and the
// watch goes on. After each frame the picture is written and the state saved
// in the background while the next frame is read. SIGINT or SIGTERM ends the
// watch after the frame in hand, once its state is saved; --once ends it when
// the frames in DIR are stacked. Returns the exit status: 0, or 1 when the
// watch could not start or a state could not be saved.
int runWatch(const CommandLine& commandLine, Stacker& stacker);
