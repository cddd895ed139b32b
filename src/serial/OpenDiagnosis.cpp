#include "serial/OpenDiagnosis.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

std::string GroupName(gid_t gid) {
  std::vector<char> buffer(4096);
  group entry{};
  group* found = nullptr;
  if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) return found->gr_name;
  return std::to_string(gid);
}

std::string Comm(const fs::path& process) {
  std::ifstream in(process / "comm");
  std::string name;
  std::getline(in, name);
  return name;
}

// Whether the group database lists the user in the group (the session may predate it).
bool UserListedIn(gid_t gid) {
  std::vector<char> buffer(16384);
  passwd pw{};
  passwd* me = nullptr;
  if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &me) != 0 || !me) return false;
  if (me->pw_gid == gid) return true;
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  if (getgrouplist(me->pw_name, me->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    if (getgrouplist(me->pw_name, me->pw_gid, groups.data(), &count) < 0) return false;
  }
  groups.resize(static_cast<size_t>(count));
  return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text.empty() ? "none" : text;
}

}  // namespace

OpenFacts GatherOpenFacts(const std::string& device, const std::string& procRoot) {
  OpenFacts facts;
  std::error_code ec;
  struct stat st {};
  if (::stat(device.c_str(), &st) != 0) {
    facts.exists = false;
    return facts;
  }
  facts.accessible = ::access(device.c_str(), R_OK | W_OK) == 0;
  facts.group = GroupName(st.st_gid);
  if (!facts.accessible) {
    facts.inGroupDatabase = UserListedIn(st.st_gid);
    const int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<size_t>(std::max(count, 0)));
    if (count > 0 && getgroups(count, groups.data()) == count)
      for (gid_t gid : groups) facts.sessionGroups.push_back(GroupName(gid));
  }
  const fs::path target = fs::canonical(device, ec);
  const std::string self = std::to_string(getpid());
  for (fs::directory_iterator it(procRoot, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string pid = it->path().filename().string();
    if (pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit)) continue;
    const std::string comm = Comm(it->path());
    if (comm == "ModemManager") facts.modemManagerRunning = true;
    std::error_code fdError;
    for (fs::directory_iterator fd(it->path() / "fd", fdError), fdEnd; !fdError && fd != fdEnd;
         fd.increment(fdError)) {
      std::error_code linkError;
      const fs::path link = fs::read_symlink(fd->path(), linkError);
      if (!linkError && (link == target || link == fs::path(device))) {
        if (pid == self)
          facts.heldBySelf = true;
        else
          facts.holders.push_back({std::stoi(pid), comm});
        break;
      }
    }
  }
  return facts;
}

std::string ExplainOpenFailure(const std::string& device, const OpenFacts& facts) {
  if (!facts.exists)
    return device + " is gone: the adapter was unplugged or renumbered. Plug it in again and "
                    "pick its port from the list.";
  if (!facts.accessible) {
    const std::string fix = facts.inGroupDatabase
                                ? "You were added to it after logging in: log out and in again."
                                : "Add yourself (sudo usermod -aG " + facts.group +
                                      " $USER) and log in again.";
    return "You may not open " + device + ": it belongs to the group " + facts.group +
           ", and this session's groups are " + Joined(facts.sessionGroups) + ". " + fix;
  }
  for (const OpenFacts::Holder& holder : facts.holders) {
    if (holder.name == "ModemManager")
      return "ModemManager is holding " + device + " (it probes new serial adapters for modems). "
             "Wait until it lets go, or tell it to ignore the adapter.";
  }
  if (!facts.holders.empty())
    return device + " is in use by " + facts.holders.front().name + " (process " +
           std::to_string(facts.holders.front().pid) + "); close that program and try again.";
  // ModemManager runs as root: a user cannot see its descriptors, only that it runs.
  if (facts.modemManagerRunning && !facts.heldBySelf)
    return device + " is in use, and ModemManager is running: it probes new serial adapters for "
                    "modems. Wait a few seconds and open again, or tell it to ignore the adapter.";
  return "";
}
