#include "in_process.h"

#include <cstdio>

#include "app/agent.h"

std::string read_all(FILE* file) {
  rewind(file);
  std::string text;
  char buffer[4096];
  while (size_t count = fread(buffer, 1, sizeof buffer, file)) text.append(buffer, count);
  return text;
}

AgentRun run_in_process(std::string_view input, std::vector<const char*> args) {
  FILE* in = tmpfile();
  FILE* out = tmpfile();
  fwrite(input.data(), 1, input.size(), in);
  fflush(in);
  rewind(in);
  int status = run_agent(static_cast<int>(args.size()), args.data(), fileno(in), out);
  AgentRun run{status, read_all(out)};
  fclose(in);
  fclose(out);
  return run;
}

std::string lines(std::initializer_list<std::string_view> commands) {
  std::string text;
  for (std::string_view command : commands) (text += command) += '\n';
  return text;
}
