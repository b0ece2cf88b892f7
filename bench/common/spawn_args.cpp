#include "bench/common/spawn_args.h"

extern char** environ;

void buildSpawnArgs(t_SpawnArgs* out, const std::string& program,
                    const std::vector<std::string>& arguments,
                    const std::vector<std::string>& extraEnvironment) {
  out->args.assign(1, program);
  out->args.insert(out->args.end(), arguments.begin(), arguments.end());
  out->env.clear();
  for (char** e = environ; *e != nullptr; ++e) out->env.emplace_back(*e);
  out->env.insert(out->env.end(), extraEnvironment.begin(), extraEnvironment.end());
  // Filled only now that the strings stand still.
  out->argv.clear();
  for (auto& a : out->args) out->argv.push_back(a.data());
  out->argv.push_back(nullptr);
  out->envp.clear();
  for (auto& e : out->env) out->envp.push_back(e.data());
  out->envp.push_back(nullptr);
}
