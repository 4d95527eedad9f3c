// An embedding host that initialises the interpreter, plans with _garnel,
// finalises it, and does all of that a second time. The second interpreter
// must get a module of its own, not the first one's cleared leftovers.
//
// Finds _garnel through PYTHONPATH; prints "round N: planned" for each round
// that planned, and exits with 1 at the first round that did not.

#include <Python.h>

#include <cstdio>

int main() {
  const char* script =
      "import json, _garnel\n"
      "plan = json.loads(_garnel.plan(24 * 2**30, 10, "
      "'[{\"model\": \"m\", \"weightsBytes\": 1073741824}]'))\n"
      "assert plan['admitted'] == ['m'], plan\n";
  for (int round = 1; round <= 2; ++round) {
    Py_Initialize();
    const int failed = PyRun_SimpleString(script);
    if (Py_FinalizeEx() < 0 || failed != 0) return 1;
    std::printf("round %d: planned\n", round);
    std::fflush(stdout);
  }
  return 0;
}
