#pragma once
// Why a serial device would not open, in the operator's words: the cause that can be seen
// from here (the device gone, a group the user lacks, ModemManager or another program
// holding it), so the window names it instead of a bare system error.
#include <string>
#include <vector>

struct OpenFacts {
  struct Holder {
    int pid = 0;
    std::string name;  // the process's comm, e.g. "ModemManager"
  };
  bool exists = true;
  bool accessible = true;        // this process may read and write it
  std::string group;             // the group owning the device node
  bool inGroupDatabase = false;  // the user is a member in the group database...
  std::vector<std::string> sessionGroups;  // ...but these are the groups this session has
  std::vector<Holder> holders;   // other processes with the device open
  bool heldBySelf = false;       // this process has it open already (another window)
  bool modemManagerRunning = false;
};

// What the system says about device; procRoot is injectable for tests.
OpenFacts GatherOpenFacts(const std::string& device, const std::string& procRoot = "/proc");
// One sentence or two naming the cause and the fix; empty when nothing explains it.
std::string ExplainOpenFailure(const std::string& device, const OpenFacts& facts);
