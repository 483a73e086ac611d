#include <algorithm>

#include "Internal.h"

namespace kvo::engine {

using detail::SameText;
using detail::Trim;

void TSession::Open() {
    active_ = true;
}

void TSession::Close() {
    for (auto& db : databases_)
        db->Close();
    active_ = false;
}

void TSession::SetNetFileDir(const std::string& folder) {
    netFileDir_ = folder;
}
void TSession::SetPrivateDir(const std::string& folder) {
    privateDir_ = folder;
}

void TSession::AddPassword(const std::string& password) {
    if (std::find(passwords_.begin(), passwords_.end(), password) == passwords_.end())
        passwords_.push_back(password);
}

void TSession::RemoveAllPasswords() {
    passwords_.clear();
}

TDatabase* TSession::FindDatabase(const std::string& name) {
    for (auto& db : databases_)
        if (SameText(db->DatabaseName(), Trim(name))) return db.get();
    return nullptr;
}

TDatabase& TSession::Database(const std::string& name) {
    if (TDatabase* db = FindDatabase(name)) return *db;
    databases_.push_back(std::make_unique<TDatabase>(std::string(Trim(name))));
    return *databases_.back();
}

void TSession::RemoveDatabase(const std::string& name) {
    for (auto it = databases_.begin(); it != databases_.end(); ++it) {
        if (SameText((*it)->DatabaseName(), Trim(name))) {
            (*it)->Close();
            databases_.erase(it);
            return;
        }
    }
}

TSession& Session() {
    static TSession session;
    return session;
}

}  // namespace kvo::engine
