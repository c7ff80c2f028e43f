#pragma once
// An in-memory settings store for window tests: typed values under keys,
// shared by every accessor made from it, with switches that make opening or
// writing a named value fail.

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "platform/Registry.h"

class MemoryStore {
public:
    using Value = std::variant<int32_t, std::string>;

    std::map<std::string, std::map<std::string, Value>> keys;
    bool refuseOpen = false;              // OpenKey fails for every key
    std::set<std::string> failingWrites;  // writes of these names raise
    std::vector<std::string> writeLog;    // names written, in order
    int opens = 0;

    std::unique_ptr<TRegistry> NewAccessor();
};

class MemoryRegistry final : public TRegistry {
public:
    explicit MemoryRegistry(MemoryStore& store) : store_(store) {}

    bool OpenKey(const std::string& key, bool canCreate) override
    {
        ++store_.opens;
        if (store_.refuseOpen) return false;
        if (store_.keys.count(key) == 0) {
            if (!canCreate) return false;
            store_.keys[key];
        }
        key_ = key;
        open_ = true;
        return true;
    }
    void CloseKey() override { open_ = false; }
    bool ValueExists(const std::string& name) override { return open_ && Values().count(name) != 0; }
    int32_t ReadInteger(const std::string& name) override
    {
        const MemoryStore::Value& v = Get(name);
        if (!std::holds_alternative<int32_t>(v)) throw ERegistryException("Invalid data type for '" + name + "'");
        return std::get<int32_t>(v);
    }
    std::string ReadString(const std::string& name) override
    {
        const MemoryStore::Value& v = Get(name);
        if (!std::holds_alternative<std::string>(v)) throw ERegistryException("Invalid data type for '" + name + "'");
        return std::get<std::string>(v);
    }
    void WriteInteger(const std::string& name, int32_t value) override { Put(name, value); }
    void WriteString(const std::string& name, const std::string& value) override { Put(name, value); }

private:
    std::map<std::string, MemoryStore::Value>& Values() { return store_.keys[key_]; }
    const MemoryStore::Value& Get(const std::string& name)
    {
        if (!ValueExists(name)) throw ERegistryException("Failed to get data for '" + name + "'");
        return Values().at(name);
    }
    void Put(const std::string& name, MemoryStore::Value value)
    {
        if (!open_ || store_.failingWrites.count(name) != 0)
            throw ERegistryException("Failed to set data for '" + name + "'");
        Values()[name] = std::move(value);
        store_.writeLog.push_back(name);
    }

    MemoryStore& store_;
    std::string key_;
    bool open_ = false;
};

inline std::unique_ptr<TRegistry> MemoryStore::NewAccessor() { return std::make_unique<MemoryRegistry>(*this); }
