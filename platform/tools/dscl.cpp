// Stands in for the directory-service command line. It answers exactly
//
//   dscl -plist . -read /Groups/NAME
//
// from the group database: the group's record as an XML property list on
// standard output, a dictionary of arrays of strings. Exit status 1 for a
// group that does not exist or output that cannot be written, 64 for any
// other call.
#include <grp.h>
#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "platform/descriptor.hpp"

namespace {

constexpr int kNotFound = 1;
constexpr int kUsage = 64;
constexpr std::string_view kGroups = "/Groups/";

struct PlistFree {
  void operator()(void *node) const { plist_free(node); }
};
using Plist = std::unique_ptr<void, PlistFree>;

// The group named by the one call this program answers, or nothing.
const char *requestedGroup(int argc, char **argv) {
  if (argc != 5 || argv[1] != std::string_view("-plist") || argv[2] != std::string_view(".") ||
      argv[3] != std::string_view("-read"))
    return nullptr;
  std::string_view path = argv[4];
  if (!path.starts_with(kGroups) || path.size() == kGroups.size()) return nullptr;
  return argv[4] + kGroups.size();
}

plist_t single(const std::string &value) {
  plist_t array = plist_new_array();
  plist_array_append_item(array, plist_new_string(value.c_str()));
  return array;
}

Plist record(const group &entry) {
  Plist dictionary(plist_new_dict());
  plist_dict_set_item(dictionary.get(), "dsAttrTypeStandard:RecordName", single(entry.gr_name));
  plist_dict_set_item(dictionary.get(), "dsAttrTypeStandard:PrimaryGroupID",
                      single(std::to_string(entry.gr_gid)));
  if (entry.gr_mem != nullptr && entry.gr_mem[0] != nullptr) {
    plist_t members = plist_new_array();
    for (char **member = entry.gr_mem; *member != nullptr; ++member)
      plist_array_append_item(members, plist_new_string(*member));
    plist_dict_set_item(dictionary.get(), "dsAttrTypeStandard:GroupMembership", members);
  }
  return dictionary;
}

int writeRecord(const group &entry) {
  char *xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(record(entry).get(), &xml, &length);
  if (xml == nullptr) return kNotFound;
  int written = vela::platform::write_all(1, {reinterpret_cast<const std::uint8_t *>(xml), length});
  plist_to_xml_free(xml);
  return written == 0 ? EXIT_SUCCESS : kNotFound;
}

}  // namespace

int main(int argc, char **argv) {
  const char *name = requestedGroup(argc, argv);
  if (name == nullptr) return kUsage;
  const group *entry = getgrnam(name);
  return entry == nullptr ? kNotFound : writeRecord(*entry);
}
