// What the engine's public interface does not tell: which tables a practice
// has, and each table's key and secondary indexes.  Read from the catalog
// of the backend that holds the practice.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kvo::move::detail {

class TCatalog {
  public:
    virtual ~TCatalog() = default;
    // Table names in a stable order (by name, ignoring case).
    virtual std::vector<std::string> Tables() = 0;
    // The key's fields joined by ';', empty when the table has no key.
    virtual std::string Key(const std::string& table) = 0;
    // Secondary indexes: name (as given to AddIndex) and fields joined by ';'.
    virtual std::vector<std::pair<std::string, std::string>> Indexes(const std::string& table) = 0;
};

// The catalog of the practice at `location` (a tables' folder or a
// connection string).  A folder without the engine's file has no tables.
std::unique_ptr<TCatalog> Catalog(const std::string& location);

}  // namespace kvo::move::detail
