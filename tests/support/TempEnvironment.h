// One private folder per test with every configuration path of the suite
// pointed into it, so that no test reads or writes the real home
// configuration, the system-wide folder or the user's registry store.
//
// On construction it makes a fresh folder under /tmp and sets
//   HOME             <root>/home
//   KESTAVO_DRIVES   <root>/drives.ini
//   KESTAVO_REGISTRY <root>/registry
//   KESTAVO_SYSCONF  <root>/etc
//   XDG_CONFIG_HOME  <root>/config
//   XDG_DATA_HOME    <root>/data
//   XDG_RUNTIME_DIR  <root>/run (owner only, as the rules for it ask)
// On destruction every variable it touched, those set or unset through it
// included, gets its old value back and the folder is removed.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace kvo::support {

class TempEnvironment {
  public:
    // `prefix` names the folder (/tmp/<prefix>-XXXXXX) for whoever looks.
    explicit TempEnvironment(const std::string& prefix = "kvo-test");
    ~TempEnvironment();
    TempEnvironment(const TempEnvironment&) = delete;
    TempEnvironment& operator=(const TempEnvironment&) = delete;

    const std::string& Root() const { return root_; }
    std::string Path(const std::string& relative) const { return root_ + "/" + relative; }
    // Creates the folder (and its parents) below the root; its full path.
    std::string MakeDir(const std::string& relative) const;

    // Changes a variable for the life of this object.
    void Set(const std::string& name, const std::string& value);
    void Unset(const std::string& name);

  private:
    void Remember(const std::string& name);

    std::string root_;
    std::map<std::string, std::optional<std::string>> saved_;
};

// Whole files as bytes; a missing file reads as empty.  WriteFile creates
// the folders on the way.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

}  // namespace kvo::support
