#pragma once
// The argument and environment vectors that posix_spawn takes, built from strings: the
// program's name first, then its arguments; this process's environment, then the extra one.
#include <string>
#include <vector>

struct t_SpawnArgs {
  std::vector<std::string> args;
  std::vector<std::string> env;
  std::vector<char*> argv;  // points into args, ends with a null pointer
  std::vector<char*> envp;  // points into env, ends with a null pointer
};

void buildSpawnArgs(t_SpawnArgs* out, const std::string& program,
                    const std::vector<std::string>& arguments,
                    const std::vector<std::string>& extraEnvironment);
