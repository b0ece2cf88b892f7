#pragma once
// The run's support log: opened when VLFWU_LOG names a file, with the header that says what
// ran where; and the run's outcome at its end.

// Opens the log that VLFWU_LOG names, if any, and writes its header: the utility's version,
// the date and time, the platform, the argument, the ports the run will try and the two
// images. A log that cannot be written costs one line on the console, and the run goes on.
void startRunLog(int argc, char** argv);

// The run's outcome, from the run state; then the log is closed at the process's end.
void logRunOutcome();
