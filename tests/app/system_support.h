// Shared by the tests of the General, Start Menu and System pages: values exactly as stored (type
// and bytes), read back from the files on disk, and a window fixture driven by control names.
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>

#include "app/controls.h"
#include "app/nodes.h"
#include "app_support.h"
#include "stored_value.h"

namespace qvtest {

inline std::optional<Stored> storedIn(qv::reg::RegistryApi& api, int32_t root, const std::string& key,
                                      const std::string& value) {
    qv::reg::HKey k = nullptr;
    if (api.openKey(root, key, &k) != 0)
        return std::nullopt;
    Stored s;
    const int32_t status = api.queryValue(k, value, &s.type, &s.data);
    api.closeKey(k);
    return status == 0 ? std::optional<Stored>(s) : std::nullopt;
}

// Through a machine opened afresh, so that only what was committed counts.
inline std::optional<Stored> storedOnDisk(const std::filesystem::path& folder, int32_t root,
                                          const std::string& key, const std::string& value,
                                          qv::reg::Machine::Kind kind = qv::reg::Machine::Kind::Own) {
    auto fresh = kind == qv::reg::Machine::Kind::WinePrefix ? qv::reg::Machine::openWinePrefix(folder)
                                                            : qv::reg::Machine::openOwn(folder);
    return storedIn(*fresh, root, key, value);
}

inline bool keyOnDisk(const std::filesystem::path& folder, int32_t root, const std::string& key) {
    auto fresh = qv::reg::Machine::openOwn(folder);
    qv::reg::HKey k = nullptr;
    if (fresh->openKey(root, key, &k) != 0)
        return false;
    fresh->closeKey(k);
    return true;
}

// Raw data into a machine, past the accessor's own type rules; nothing is committed.
inline void putRaw(qv::reg::RegistryApi& api, int32_t root, const std::string& key, const std::string& value,
                   const Stored& s) {
    qv::reg::HKey k = nullptr;
    if (api.createKey(root, key, &k) != 0 || api.setValue(k, value, s.type, s.data) != 0)
        throw std::runtime_error("cannot store " + key + "\\" + value);
    api.closeKey(k);
}

template <class T>
T* control(qv::frmMain& form, const QString& name) {
    T* c = form.findChild<T*>(name);
    if (!c)
        throw std::runtime_error("no control " + name.toStdString());
    return c;
}

// The window over a machine on disk: values go in committed, controls are used by name as a
// user would, and results are read back from the files.
class PageTest : public WindowTest {
protected:
    std::filesystem::path folder() const { return dir_.path() / "machine"; }
    void put(int32_t root, const std::string& key, const std::string& value, const Stored& s) {
        putRaw(machine(), root, key, value, s);
        machine().commit();
    }
    void remove(int32_t root, const std::string& key, const std::string& value) {
        qv::reg::HKey k = nullptr;
        if (machine().openKey(root, key, &k) == 0) {
            machine().deleteValue(k, value);
            machine().closeKey(k);
        }
        machine().commit();
    }
    std::optional<Stored> onDisk(int32_t root, const std::string& key, const std::string& value) {
        return storedOnDisk(folder(), root, key, value);
    }
    QString value(const QString& name) { return qv::ctl::valueOf(qv::ctl::findControl(form(), name)); }
    void set(const QString& name, const QString& v) {
        qv::ctl::setControl(form(), qv::ctl::findControl(form(), name), v);
    }
    void click(const QString& name) { qv::ctl::clickControl(form(), qv::ctl::findControl(form(), name)); }
    void reload() { form().mnuFileReloadSettings_Click(); }
    // These suites check what each page's block writes, so every page counts as changed, as
    // after a user has been through them all; what is written for untouched pages is tested apart.
    void apply() {
        for (int node = 1; node <= qv::kNodeCount; ++node) form().markPageChanged(node);
        form().cmdApply_Click();
    }
};

}  // namespace qvtest
