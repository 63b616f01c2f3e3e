#include "identity.hpp"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>

#include "files.hpp"
#include "platform/paths.hpp"
#include "tasks.hpp"
#include "trust.hpp"
#include "uuid.hpp"

namespace vela::helper {

namespace {

constexpr const char *kBrokerName = "_velabroker";
// Indexed like the gids and counters of the group census: broker, control, agent.
constexpr std::string_view kGroupNames[3] = {"_velabroker", "_velacontrol", "_velaagent"};
constexpr std::uint32_t kCensusLimit = 100'000;
constexpr std::uint32_t kMaximumGid = 2'147'483'647;
constexpr off_t kMaximumRecord = 1'048'576;
constexpr double kRecordSeconds = 5;
constexpr const char *kMembershipKeys[] = {"dsAttrTypeStandard:GroupMembership", "dsAttrTypeStandard:GroupMembers",
                                           "dsAttrTypeStandard:NestedGroups"};

bool named(const char *text, std::string_view expected) { return text != nullptr && text == expected; }

bool onlyBrokerMembers(char *const *members) {
  for (; members != nullptr && *members != nullptr; ++members)
    if (!named(*members, kBrokerName)) return false;
  return true;
}

bool noMembers(char *const *members) { return members == nullptr || *members == nullptr; }

bool sound(std::uint32_t gid) { return gid != 0 && gid <= kMaximumGid; }

bool soundServiceGids(std::uint32_t brokerGid, std::uint32_t agentGid, std::uint32_t controlGid) {
  return sound(brokerGid) && sound(agentGid) && sound(controlGid) && brokerGid != agentGid &&
         brokerGid != controlGid && agentGid != controlGid;
}

std::optional<std::uint32_t> groupId(const char *name) {
  const group *entry = getgrnam(name);
  if (entry == nullptr) return std::nullopt;
  return entry->gr_gid;
}

// Walks a whole account database with its process-wide cursor, every entry
// through `allowed`. A null entry ends the walk when errno is 0 or ENOENT
// and fails it otherwise; more entries than the census limit fail it. The
// cursor is closed again in every case.
template <class Entry, class Allowed>
bool census(void (*rewind)(), Entry *(*next)(), void (*close)(), Allowed allowed) {
  rewind();
  bool passed = false;
  for (std::uint32_t count = 0;;) {
    errno = 0;
    Entry *entry = next();
    if (entry == nullptr) {
      passed = errno == 0 || errno == ENOENT;
      break;
    }
    if (++count > kCensusLimit || !allowed(entry)) break;
  }
  close();
  return passed;
}

bool groupCensus(std::uint32_t brokerGid, std::uint32_t controlGid, std::uint32_t agentGid) {
  const std::uint32_t gids[3] = {brokerGid, controlGid, agentGid};
  std::uint32_t counters[3] = {0, 0, 0};
  auto allowed = [&](const group *entry) { return vela_group_entry_allowed(entry, gids, counters); };
  return census(setgrent, getgrent, endgrent, allowed) && counters[0] == 1 && counters[1] == 1 && counters[2] == 1;
}

bool userCensus(std::uint32_t brokerUid, std::uint32_t brokerGid, std::uint32_t controlGid) {
  std::uint32_t counter = 0;
  auto allowed = [&](const passwd *entry) {
    return vela_user_entry_allowed(entry, brokerUid, brokerGid, controlGid, counter);
  };
  return census(setpwent, getpwent, endpwent, allowed) && counter == 1;
}

bool singleText(const Json &record, const char *key, std::string_view expected) {
  auto value = record.find(key);
  return value != record.end() && value->is_array() && value->size() == 1 && value->front().is_string() &&
         value->front().get_ref<const std::string &>() == expected;
}

bool noRecordMembers(const Json &record) {
  for (const char *key : kMembershipKeys) {
    auto value = record.find(key);
    if (value != record.end() && (!value->is_array() || !value->empty())) return false;
  }
  return true;
}

// A root-owned file without a name in the daemon's state directory, for a
// task's output.
Descriptor anonymousFile() {
  Descriptor directory = openAbsoluteDirectoryNoFollow(VelaV3State, nullptr);
  if (!directory) return {};
  const std::string name = ".group-" + freshUuid();
  Descriptor file(openat(directory.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file || unlinkat(directory.get(), name.c_str(), 0) != 0) return {};
  return file;
}

// Everything the task wrote: 1 byte to the record limit.
std::optional<Data> taskOutput(int file) {
  struct stat st {};
  if (fstat(file, &st) != 0 || st.st_size < 1 || st.st_size > kMaximumRecord || lseek(file, 0, SEEK_SET) != 0)
    return std::nullopt;
  Data bytes(static_cast<std::size_t>(st.st_size));
  for (std::size_t done = 0; done < bytes.size();) {
    ssize_t n = read(file, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 1) return std::nullopt;
    done += static_cast<std::size_t>(n);
  }
  return bytes;
}

struct PlistFree {
  void operator()(void *node) const { plist_free(node); }
};

// Text and integers keep their type; any other value, nested arrays and
// dictionaries included, becomes null, which no rule accepts.
Json scalarJson(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
      char *text = nullptr;
      plist_get_string_val(node, &text);
      std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
      return owned ? Json(owned.get()) : Json();
    }
    case PLIST_UINT: {
      std::uint64_t number = 0;
      plist_get_uint_val(node, &number);
      return number;
    }
    default:
      return nullptr;
  }
}

Json valueJson(plist_t node) {
  if (plist_get_node_type(node) != PLIST_ARRAY) return scalarJson(node);
  Json array = Json::array();
  for (std::uint32_t i = 0; i < plist_array_get_size(node); ++i)
    array.push_back(scalarJson(plist_array_get_item(node, i)));
  return array;
}

// A property list as JSON, if it is a dictionary: one key per attribute,
// its values as an array.
std::optional<Json> dictionaryJson(const Data &bytes) {
  plist_t parsed = nullptr;
  plist_from_memory(reinterpret_cast<const char *>(bytes.data()), static_cast<std::uint32_t>(bytes.size()), &parsed);
  std::unique_ptr<void, PlistFree> root(parsed);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;
  Json record = Json::object();
  plist_dict_iter position = nullptr;
  plist_dict_new_iter(root.get(), &position);
  std::unique_ptr<void, decltype(&std::free)> iterator(position, &std::free);
  for (;;) {
    char *key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root.get(), position, &key, &value);
    std::unique_ptr<char, decltype(&std::free)> ownedKey(key, &std::free);
    if (value == nullptr || key == nullptr) break;
    record[key] = valueJson(value);
  }
  return record;
}

}  // namespace

std::optional<std::uint32_t> brokerAccountUid() {
  const passwd *broker = getpwnam(kBrokerName);
  if (!vela_service_properties_allowed(broker)) return std::nullopt;
  return broker->pw_uid;
}

bool serviceIdentity(std::uint32_t &brokerUid, std::uint32_t &brokerGid, std::uint32_t &agentGid,
                     std::uint32_t &controlGid) {
  const passwd *broker = getpwnam(kBrokerName);
  if (!vela_service_properties_allowed(broker)) return false;
  brokerUid = broker->pw_uid;
  brokerGid = broker->pw_gid;
  if (groupId(kBrokerName) != brokerGid) return false;
  auto agent = groupId("_velaagent");
  if (!agent) return false;
  agentGid = *agent;
  auto control = groupId("_velacontrol");
  if (!control) return false;
  controlGid = *control;
  return soundServiceGids(brokerGid, agentGid, controlGid) && validGroupRecord("_velabroker", brokerGid, true) &&
         validGroupRecord("_velacontrol", controlGid, true) && validGroupRecord("_velaagent", agentGid, false) &&
         groupCensus(brokerGid, controlGid, agentGid) && userCensus(brokerUid, brokerGid, controlGid);
}

bool vela_service_properties_allowed(const passwd *entry) {
  return entry != nullptr && named(entry->pw_name, kBrokerName) && entry->pw_uid >= 200 && entry->pw_uid < 500 &&
         entry->pw_gid != 0 && named(entry->pw_shell, "/usr/bin/false") && named(entry->pw_dir, "/var/empty");
}

bool vela_group_entry_allowed(const group *entry, const std::uint32_t (&gids)[3], std::uint32_t (&counters)[3]) {
  for (std::size_t index = 0; index < 3; ++index) {
    if (entry->gr_gid != gids[index]) continue;
    if (!named(entry->gr_name, kGroupNames[index]) || ++counters[index] != 1) return false;
    if (index == 0 && !onlyBrokerMembers(entry->gr_mem)) return false;
    if (index == 1 && !noMembers(entry->gr_mem)) return false;
  }
  return true;
}

bool vela_user_entry_allowed(const passwd *entry, std::uint32_t brokerUid, std::uint32_t brokerGid,
                             std::uint32_t controlGid, std::uint32_t &brokerCounter) {
  const bool broker = named(entry->pw_name, kBrokerName);
  if (!broker && (entry->pw_uid == brokerUid || entry->pw_gid == brokerGid)) return false;
  if (entry->pw_gid == controlGid) return false;
  if (!broker) return true;
  if (entry->pw_uid != brokerUid || entry->pw_gid != brokerGid) return false;
  return ++brokerCounter == 1;
}

bool validGroupRecord(std::string_view name, std::uint32_t gid, bool requireNoMembers) {
  auto record = readGroupRecord(name);
  return record && singleText(*record, "dsAttrTypeStandard:RecordName", name) &&
         singleText(*record, "dsAttrTypeStandard:PrimaryGroupID", std::to_string(gid)) &&
         (!requireNoMembers || noRecordMembers(*record));
}

std::optional<Json> readGroupRecord(std::string_view name) {
  Descriptor output = anonymousFile();
  if (!output) return std::nullopt;
  const Task task{.executable = std::string(platform::paths::kDscl),
                  .arguments = {"-plist", ".", "-read", "/Groups/" + std::string(name)},
                  .environment = {{"PATH", "/usr/bin:/bin:/usr/sbin:/sbin"}}};
  if (!runBoundedTaskWithOutput(task, std::nullopt, output.get(), nullptr, kRecordSeconds)) return std::nullopt;
  auto bytes = taskOutput(output.get());
  if (!bytes) return std::nullopt;
  output.reset();
  return dictionaryJson(*bytes);
}

}  // namespace vela::helper
