#include "gen_registry.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "registry/text.h"

namespace qv::bench {

namespace {

constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kTicks1601To1970 = 116444736000000000ULL;

// splitmix64: a fixed sequence on every platform (the standard distributions are not).
struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed) {}
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
    bool percent(uint32_t p) { return below(100) < p; }
    template <class T, size_t N>
    const T& pick(const T (&a)[N]) { return a[below(N)]; }
};

struct NameLess {
    bool operator()(const std::u16string& a, const std::u16string& b) const {
        return qv::reg::compareNames(a, b) < 0;
    }
};

struct Value {
    std::u16string name;
    uint32_t type = 0;
    std::string data;
};

struct Key {
    std::u16string name;
    std::map<std::u16string, std::unique_ptr<Key>, NameLess> subkeys;
    std::map<std::u16string, Value, NameLess> values;
    uint64_t modif = 0;
    std::optional<std::u16string> cls;
    bool link = false;
};

// ---- Wine's writer ---------------------------------------------------------------------------

bool isHexDigit(char16_t c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

void appendHex(std::string& out, uint64_t v, int minDigits) {
    static const char digits[] = "0123456789abcdef";
    char buf[16];
    int n = 0;
    do {
        buf[n++] = digits[v & 15];
        v >>= 4;
    } while (v);
    while (n < minDigits) buf[n++] = '0';
    while (n) out.push_back(buf[--n]);
}

void escape(std::string& out, std::u16string_view s, char d1, char d2) {
    for (size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        const bool hasNext = i + 1 < s.size();
        if (c > 127) {
            out += "\\x";
            appendHex(out, c, hasNext && s[i + 1] < 128 && isHexDigit(s[i + 1]) ? 4 : 1);
        } else if (c < 32) {
            static const char letters[] = ".......abtnvfr.............e....";
            out.push_back('\\');
            if (letters[c] != '.') {
                out.push_back(letters[c]);
            } else {
                const bool pad = hasNext && s[i + 1] >= '0' && s[i + 1] <= '7';
                char buf[3];
                int n = 0;
                unsigned v = c;
                do {
                    buf[n++] = static_cast<char>('0' + (v & 7));
                    v >>= 3;
                } while (v);
                while (pad && n < 3) buf[n++] = '0';
                while (n) out.push_back(buf[--n]);
            }
        } else {
            if (c == '\\' || c == d1 || c == d2) out.push_back('\\');
            out.push_back(static_cast<char>(c));
        }
    }
}

void writeValue(std::string& out, const Value& v) {
    const size_t start = out.size();
    if (v.name.empty()) {
        out += "@=";
    } else {
        out.push_back('"');
        escape(out, v.name, '"', '"');
        out += "\"=";
    }
    const std::string& d = v.data;
    const size_t n = d.size();
    if ((v.type == 1 || v.type == 2 || v.type == 7) && n >= 2 && n % 2 == 0 && d[n - 1] == 0 &&
        d[n - 2] == 0) {
        if (v.type != 1) {
            out += "str(";
            appendHex(out, v.type, 1);
            out += "):";
        }
        out.push_back('"');
        escape(out, qv::reg::bytesToUtf16(std::string_view(d).substr(0, n - 2)), '"', '"');
        out += "\"\n";
        return;
    }
    if (v.type == 4 && n == 4) {
        uint32_t dw;
        std::memcpy(&dw, d.data(), 4);  // little-endian host
        out += "dword:";
        appendHex(out, dw, 8);
        out.push_back('\n');
        return;
    }
    if (v.type == 3) {
        out += "hex:";
    } else {
        out += "hex(";
        appendHex(out, v.type, 1);
        out += "):";
    }
    size_t count = out.size() - start;
    for (size_t i = 0; i < n; ++i) {
        appendHex(out, static_cast<uint8_t>(d[i]), 2);
        count += 2;
        if (i + 1 < n) {
            out.push_back(',');
            if (++count > 76) {
                out += "\\\n  ";
                count = 2;
            }
        }
    }
    out.push_back('\n');
}

void writeKey(std::string& out, const Key& k, const std::string& path, bool isRoot) {
    if (!isRoot && (!k.values.empty() || k.subkeys.empty() || k.cls || k.link)) {
        out += "\n[";
        out += path;
        out += "] ";
        out += std::to_string(static_cast<uint32_t>((k.modif - kTicks1601To1970) / kTicksPerSecond));
        out += "\n#time=";
        appendHex(out, k.modif >> 32, 1);
        appendHex(out, k.modif & 0xFFFFFFFFu, 8);
        out.push_back('\n');
        if (k.cls) {
            out += "#class=\"";
            escape(out, *k.cls, '"', '"');
            out += "\"\n";
        }
        if (k.link) out += "#link\n";
        for (const auto& [name, v] : k.values) writeValue(out, v);
    }
    for (const auto& [name, sub] : k.subkeys) {
        std::string p = path;
        if (!isRoot) p += "\\\\";
        escape(p, sub->name, '[', ']');
        writeKey(out, *sub, p, false);
    }
}

// ---- building --------------------------------------------------------------------------------

std::string sz(std::u16string_view s) {
    std::u16string t(s);
    t.push_back(0);
    return qv::reg::utf16ToBytes(t);
}
std::string sz(std::string_view utf8) { return sz(qv::reg::utf8ToUtf16(utf8)); }

class Builder {
public:
    Builder(uint64_t seed, uint64_t startTime) : clock_(startTime), rng_(seed) {}

    Key root;

    // The key at a "\"-separated UTF-8 path, created with its parents when missing.
    Key& key(std::string_view path) {
        Key* k = &root;
        size_t i = 0;
        while (i < path.size()) {
            size_t j = path.find('\\', i);
            if (j == std::string_view::npos) j = path.size();
            std::u16string name = qv::reg::utf8ToUtf16(path.substr(i, j - i));
            auto it = k->subkeys.find(name);
            if (it == k->subkeys.end()) {
                auto nk = std::make_unique<Key>();
                nk->name = name;
                nk->modif = tick();
                approx_ += path.size() + 40;  // a header and its #time line, roughly
                ++keys_;
                it = k->subkeys.emplace(std::move(name), std::move(nk)).first;
            }
            k = it->second.get();
            i = j + 1;
        }
        return *k;
    }

    void set(Key& k, std::string_view name, uint32_t type, std::string data) {
        std::u16string n = qv::reg::utf8ToUtf16(name);
        approx_ += name.size() + 6 + (type == 1 || type == 2 || type == 7 ? data.size() / 2 + 8 : data.size() * 3 + 10);
        auto [it, inserted] = k.values.insert_or_assign(n, Value{n, type, std::move(data)});
        (void)it;
        if (inserted) ++values_;
    }
    void str(Key& k, std::string_view name, std::string_view text) { set(k, name, 1, sz(text)); }
    void expand(Key& k, std::string_view name, std::string_view text) { set(k, name, 2, sz(text)); }
    void multi(Key& k, std::string_view name, std::initializer_list<std::string_view> items) {
        std::u16string t;
        for (auto s : items) {
            t += qv::reg::utf8ToUtf16(s);
            t.push_back(0);
        }
        t.push_back(0);
        set(k, name, 7, qv::reg::utf16ToBytes(t));
    }
    void dword(Key& k, std::string_view name, uint32_t v) {
        char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 24)};
        set(k, name, 4, std::string(b, 4));
    }
    void bin(Key& k, std::string_view name, size_t len, uint32_t type = 3) {
        set(k, name, type, bytes(len));
    }
    std::string bytes(size_t len) {
        std::string b(len, '\0');
        for (size_t i = 0; i < len; ++i) {
            // Real binary values are mostly small numbers and zeros.
            uint64_t r = rng_.next();
            b[i] = static_cast<char>((r & 3) == 0 ? 0 : (r & 4) ? (r >> 8) & 0x0F : (r >> 8) & 0xFF);
        }
        return b;
    }

    Rng& rng() { return rng_; }
    size_t approxBytes() const { return approx_; }
    size_t keys() const { return keys_; }
    size_t values() const { return values_; }

    std::string guid() {
        uint64_t a = rng_.next(), b = rng_.next();
        char buf[40];
        std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%04X-%012llX}", static_cast<unsigned>(a >> 32),
                      static_cast<unsigned>((a >> 16) & 0xFFFF), static_cast<unsigned>(a & 0xFFFF),
                      static_cast<unsigned>(b >> 48), static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFULL));
        return buf;
    }

private:
    uint64_t tick() {
        // Keys are made some milliseconds to a few seconds apart, with sub-second parts.
        clock_ += 1 + rng_.next() % (3 * kTicksPerSecond);
        return clock_;
    }

    uint64_t clock_;
    Rng rng_;
    size_t approx_ = 0, keys_ = 0, values_ = 0;
};

std::string num(uint64_t v) { return std::to_string(v); }
std::string hex4(uint32_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04X", v & 0xFFFF);
    return b;
}

const char* const kVendors[] = {"Acme", "Contoso", "Fabrikam", "Litware", "Northwind", "Tailspin",
                                "Wingtip", "Adatum", "Proseware", "Woodgrove"};
const char* const kKinds[] = {"Document", "Drawing", "Sheet", "Archive", "Project", "Image", "Sound", "Movie"};
// Text in the languages real registries carry; several need \x escapes, some padded ones
// (a non-ASCII character before a hex digit), one beyond the BMP.
const char* const kWorld[] = {"Bibliothèque",   "Système de fichiers", "Программа",  "日本語 テキスト",
                              "Ελληνικά",        "中文文档",             "Fußball 2",  "café 1éF",
                              "Ünïcödé Ä0",      "😀 Smile",             "Español ñ",  "Türkçe ğ",
                              "Polski łódź",     "한국어",               "עברית",      "العربية"};
const char* const kDlls[] = {"ole32.dll", "shell32.dll", "oleaut32.dll", "msxml3.dll", "quartz.dll",
                             "mshtml.dll", "urlmon.dll", "propsys.dll"};
const char* const kThreading[] = {"Apartment", "Both", "Free", "Neutral"};

// ---- content units ---------------------------------------------------------------------------

void unitClsid(Builder& b, size_t i) {
    Rng& r = b.rng();
    std::string g = b.guid();
    std::string base = "Software\\Classes\\CLSID\\" + g;
    std::string name = std::string(r.pick(kVendors)) + " " + r.pick(kKinds) + " Class " + num(i);
    b.str(b.key(base), "", name);
    Key& inproc = b.key(base + "\\InprocServer32");
    b.str(inproc, "", std::string("C:\\windows\\system32\\") + r.pick(kDlls));
    b.str(inproc, "ThreadingModel", r.pick(kThreading));
    if (r.percent(50)) {
        std::string progid = std::string(r.pick(kVendors)) + "." + r.pick(kKinds) + "." + num(i);
        b.str(b.key(base + "\\ProgID"), "", progid + ".1");
        b.str(b.key(base + "\\VersionIndependentProgID"), "", progid);
    }
    if (r.percent(25)) b.key(base + "\\Implemented Categories\\" + b.guid());  // an empty leaf
    if (r.percent(15)) b.str(b.key(base + "\\TypeLib"), "", b.guid());
}

void unitInterface(Builder& b, size_t i) {
    Rng& r = b.rng();
    std::string base = "Software\\Classes\\Interface\\" + b.guid();
    b.str(b.key(base), "", "I" + std::string(r.pick(kVendors)) + r.pick(kKinds) + num(i));
    b.str(b.key(base + "\\NumMethods"), "", num(3 + r.below(40)));
    b.str(b.key(base + "\\ProxyStubClsid32"), "", "{00020424-0000-0000-C000-000000000046}");
    if (r.percent(30)) {
        Key& tl = b.key(base + "\\TypeLib");
        b.str(tl, "", b.guid());
        b.str(tl, "Version", "1.0");
    }
}

void unitTypeLib(Builder& b, size_t i) {
    Rng& r = b.rng();
    std::string base = "Software\\Classes\\TypeLib\\" + b.guid() + "\\" + num(1 + r.below(3)) + ".0";
    std::string vendor = r.pick(kVendors);
    b.str(b.key(base), "", vendor + " Type Library " + num(i));
    b.str(b.key(base + "\\0\\win32"), "", "C:\\windows\\system32\\" + vendor + num(i) + ".tlb");
    if (r.percent(50)) b.str(b.key(base + "\\0\\win64"), "", "C:\\windows\\system32\\" + vendor + num(i) + "64.tlb");
    b.str(b.key(base + "\\FLAGS"), "", "0");
    b.str(b.key(base + "\\HELPDIR"), "", "C:\\windows\\system32");
}

void unitService(Builder& b, size_t i) {
    Rng& r = b.rng();
    std::string svc = std::string(r.pick(kVendors)) + "Svc" + num(i);
    std::string base = "System\\CurrentControlSet\\Services\\" + svc;
    Key& k = b.key(base);
    b.str(k, "DisplayName", r.percent(20) ? std::string(r.pick(kWorld)) + " service" : svc + " Service");
    b.dword(k, "ErrorControl", r.below(3));
    b.expand(k, "ImagePath", "%SystemRoot%\\system32\\drivers\\" + svc + ".sys");
    b.dword(k, "Start", r.below(5));
    b.dword(k, "Type", 1u << r.below(5));
    if (r.percent(50)) b.multi(k, "DependOnService", {"RpcSs", "PlugPlay"});
    if (r.percent(30)) b.str(k, "Group", "Extended Base");
    Key& p = b.key(base + "\\Parameters");
    b.dword(p, "BufferSize", 4096u << r.below(6));
    b.bin(p, "Settings", 8 + r.below(40));
    if (r.percent(40)) {
        // A device instance of the service, as deep as Enum keys go.
        std::string dev = "System\\CurrentControlSet\\Enum\\PCI\\VEN_" + hex4(r.below(0x10000)) + "&DEV_" +
                          hex4(r.below(0x10000)) + "&SUBSYS_" + hex4(r.below(0x10000)) + "0000\\3&" +
                          num(r.below(1000000)) + "&0&" + num(i % 100);
        Key& d = b.key(dev);
        b.str(d, "Service", svc);
        b.multi(d, "HardwareID", {"PCI\\VEN_8086&DEV_1237", "PCI\\VEN_8086&CC_060000", "PCI\\CC_0600"});
        b.multi(d, "CompatibleIDs", {"PCI\\VEN_8086&CC_0600", "PCI\\CC_0600"});
        b.dword(d, "ConfigFlags", 0);
        b.str(d, "ClassGUID", b.guid());
        b.dword(b.key(dev + "\\Device Parameters\\Interrupt Management\\MessageSignaledInterruptProperties"),
                "MSISupported", 1);
        b.key(dev + "\\Control");  // volatile in Windows; an empty leaf here
    }
}

void unitUninstall(Builder& b, size_t i) {
    Rng& r = b.rng();
    std::string base = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + b.guid();
    Key& k = b.key(base);
    std::string vendor = r.pick(kVendors);
    std::string title = r.percent(40) ? std::string(r.pick(kWorld)) + " " + num(i) : vendor + " Suite " + num(i);
    b.str(k, "DisplayName", title);
    b.str(k, "DisplayVersion", num(1 + r.below(20)) + "." + num(r.below(10)) + "." + num(r.below(9999)));
    b.dword(k, "EstimatedSize", r.below(2000000));
    b.str(k, "InstallDate", "2024" + num(10 + r.below(3)) + num(10 + r.below(18)));
    b.str(k, "InstallLocation", "C:\\Program Files\\" + vendor + "\\" + title + "\\");
    b.dword(k, "NoModify", 1);
    b.dword(k, "NoRepair", r.below(2));
    b.str(k, "Publisher", vendor + (r.percent(30) ? " \"Software\" Ltd." : " Corporation"));
    b.expand(k, "UninstallString", "MsiExec.exe /X" + b.guid());
    if (r.percent(20)) b.str(k, "Comments", "Line one\nLine two\twith a tab");
}

void unitWorld(Builder& b, size_t i) {
    Rng& r = b.rng();
    std::string base = std::string("Software\\Wine\\Fonts\\Replacements\\") + r.pick(kWorld) + " " + num(i);
    Key& k = b.key(base);
    for (int n = 0; n < 4; ++n) b.str(k, std::string(r.pick(kWorld)) + " " + num(n), r.pick(kWorld));
    b.str(k, "Escapes", std::string("bell\a back\b esc\x1b ctl\x01") + "1 nul-free \x7f done");
    b.str(k, "Quoted \"name\" \\ back", "C:\\path\\with \"quotes\" and [brackets]");
    if (r.percent(30)) b.key(base + "\\Sub [" + num(i) + "] key");  // brackets are escaped in key names
}

void unitBinary(Builder& b, size_t i) {
    Rng& r = b.rng();
    std::string base = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Streams\\" + num(i);
    Key& k = b.key(base);
    b.bin(k, "Settings", 40 + r.below(400));
    b.bin(k, "ViewView2", 100 + r.below(200));
    b.bin(k, "Mode", 4);
    if (r.percent(30)) b.bin(k, "Empty", 0);
}

void unitClassPair(Builder& b, size_t i) {
    Rng& r = b.rng();
    std::string vendor = r.pick(kVendors);
    std::string cls = vendor + ".File." + num(i);
    std::string ext = ".f" + num(i);
    Key& e = b.key("Software\\Classes\\" + ext);
    b.str(e, "", cls);
    if (r.percent(40)) b.str(e, "Content Type", "application/x-" + vendor + num(i));
    Key& c = b.key("Software\\Classes\\" + cls);
    b.str(c, "", vendor + " file " + num(i));
    b.str(b.key("Software\\Classes\\" + cls + "\\DefaultIcon"), "", "C:\\Program Files\\" + vendor + "\\app.exe,1");
    b.str(b.key("Software\\Classes\\" + cls + "\\shell\\open\\command"), "",
          "\"C:\\Program Files\\" + vendor + "\\app.exe\" \"%1\"");
}

void unitSettings(Builder& b, size_t i) {
    Rng& r = b.rng();
    std::string base = std::string("Software\\") + r.pick(kVendors) + "\\App" + num(i % 97) + "\\Settings\\" + num(i);
    Key& k = b.key(base);
    b.str(k, "", "default " + num(i));
    b.str(k, "Path", "C:\\users\\Public\\" + num(i));
    b.expand(k, "Expanded", "%ProgramFiles%\\App\\bin;%PATH%");
    b.multi(k, "List", {"one", "two", "", "four"});
    b.dword(k, "Count", r.below(100000));
    b.set(k, "Qword", 11, b.bytes(8));
    b.set(k, "None", 0, std::string());
    b.set(k, "Unterminated", 2, qv::reg::utf16ToBytes(u"%TEMP%"));  // no NUL: written as hex(2)
    b.set(k, "Odd", 1, std::string("abc"));                            // odd length: hex(1)
    b.set(k, "ShortDword", 4, std::string("\x01\x02", 2));              // not 4 bytes: hex(4)
    b.set(k, "BigEndian", 5, std::string("\x00\x00\x01\x90", 4));
    if (r.percent(20)) {
        Key& c = b.key(base + "\\Classy");
        c.cls = qv::reg::utf8ToUtf16("Class \"" + num(i) + "\"");
    }
}

void unitUserMru(Builder& b, size_t i) {
    Rng& r = b.rng();
    std::string base = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ComDlg32\\OpenSavePidlMRU\\e" + num(i);
    Key& k = b.key(base);
    const int n = 2 + static_cast<int>(r.below(8));
    std::string order;
    for (int m = 0; m < n; ++m) {
        b.bin(k, num(m), 30 + r.below(200));
        char idx[4] = {static_cast<char>(m), 0, 0, 0};
        order.append(idx, 4);
    }
    order.append("\xff\xff\xff\xff", 4);
    b.set(k, "MRUListEx", 3, order);
}

void unitMuiCache(Builder& b, size_t i) {
    Rng& r = b.rng();
    Key& k = b.key("Software\\Classes\\Local Settings\\Software\\Microsoft\\Windows\\Shell\\MuiCache\\" + num(i / 50));
    std::string exe = std::string("C:\\Program Files\\") + r.pick(kVendors) + "\\" + r.pick(kWorld) + num(i) + ".exe";
    b.str(k, exe + ".FriendlyAppName", r.pick(kWorld));
    b.str(k, exe + ".ApplicationCompany", r.pick(kVendors));
}

void unitWineUser(Builder& b, size_t i) {
    Rng& r = b.rng();
    std::string base = "Software\\Wine\\AppDefaults\\app" + num(i) + ".exe";
    b.str(b.key(base), "Version", r.percent(50) ? "win10" : "winxp");
    Key& d = b.key(base + "\\Direct3D");
    b.dword(d, "csmt", r.below(2));
    b.str(d, "renderer", r.percent(50) ? "gl" : "vulkan");
    b.str(b.key(base + "\\DllOverrides"), "d3d" + num(9 + r.below(4)), "native,builtin");
}

void unitControlPanel(Builder& b, size_t i) {
    Rng& r = b.rng();
    Key& k = b.key("AppEvents\\Schemes\\Apps\\App" + num(i) + "\\Event" + num(r.below(100)) + "\\.Current");
    b.str(k, "", "C:\\windows\\media\\" + std::string(r.pick(kWorld)) + ".wav");
    Key& c = b.key("Control Panel\\Settings" + num(i));
    for (int n = 0; n < 6; ++n) b.str(c, "Setting" + num(n), num(r.below(1000)) + " " + num(r.below(1000)));
}

using Unit = void (*)(Builder&, size_t);

void addMixed(Builder& b, RegistryShape::Branch branch, size_t i) {
    const uint32_t r = b.rng().below(100);
    if (branch == RegistryShape::Branch::Machine) {
        // Weighted like a real system.reg, which is mostly COM registration.
        Unit u = r < 30 ? unitClsid
               : r < 50 ? unitInterface
               : r < 55 ? unitTypeLib
               : r < 65 ? unitService
               : r < 73 ? unitUninstall
               : r < 80 ? unitWorld
               : r < 88 ? unitBinary
               : r < 94 ? unitClassPair
                        : unitSettings;
        u(b, i);
    } else {
        Unit u = r < 20 ? unitSettings
               : r < 40 ? unitUserMru
               : r < 52 ? unitBinary
               : r < 67 ? unitMuiCache
               : r < 80 ? unitWineUser
               : r < 90 ? unitControlPanel
                        : unitWorld;
        u(b, i);
    }
}

void addClasses(Builder& b, const RegistryShape& s) {
    const std::string root = "Software\\Classes\\";
    auto className = [](size_t c) {
        return std::string(kVendors[c % 10]) + "." + kKinds[(c / 10) % 8] + "." + num(c);
    };
    for (size_t c = 0; c < s.classes; ++c) {
        Rng& r = b.rng();
        std::string cls = className(c);
        std::string vendor = kVendors[c % 10];
        std::string exe = "C:\\Program Files\\" + vendor + "\\" + vendor + ".exe";
        Key& k = b.key(root + cls);
        b.str(k, "", vendor + " " + kKinds[(c / 10) % 8] + " " + num(c));
        if (r.percent(50)) b.dword(k, "EditFlags", 0x10000);
        b.str(b.key(root + cls + "\\DefaultIcon"), "", exe + "," + num(r.below(20)));
        b.str(b.key(root + cls + "\\shell\\open\\command"), "", "\"" + exe + "\" \"%1\"");
        if (r.percent(30)) b.str(b.key(root + cls + "\\shell\\print\\command"), "", "\"" + exe + "\" /p \"%1\"");
        if (r.percent(20)) b.str(b.key(root + cls + "\\CLSID"), "", b.guid());
    }
    for (size_t e = 0; e < s.extensions; ++e) {
        Rng& r = b.rng();
        std::string ext = ".x" + num(e);
        std::string cls;
        if (s.classes) {
            cls = className(e % s.classes);
        } else {
            cls = "x" + num(e) + "file";
            b.str(b.key(root + cls), "", "X" + num(e) + " File");
        }
        Key& k = b.key(root + ext);
        b.str(k, "", cls);
        if (r.percent(40)) b.str(k, "Content Type", "application/x-" + num(e));
        if (r.percent(20)) b.str(k, "PerceivedType", r.percent(50) ? "document" : "image");
        if (r.percent(15)) b.set(b.key(root + ext + "\\OpenWithProgids"), cls, 0, std::string());
        if (e < s.shellNew) {
            const char* suffix = e % 10 == 9 ? "\\ShellNew-" : "\\ShellNew";
            std::string place = e % 3 == 0 ? root + ext + suffix
                              : e % 3 == 1 ? root + cls + suffix
                                           : root + ext + "\\" + cls + suffix;
            Key& n = b.key(place);
            switch (e % 4) {
            case 0: b.str(n, "NullFile", ""); break;
            case 1: b.str(n, "FileName", "template" + ext); break;
            case 2: b.str(n, "Command", "\"C:\\Program Files\\New\\new.exe\" /create \"%1\""); break;
            default: b.bin(n, "Data", 16 + e % 48); break;
            }
            if (e % 7 == 0) b.str(b.key(place + "\\Config"), "NoExtension", "");
        }
    }
}

void addPageKeys(Builder& b, RegistryShape::Branch branch) {
    if (branch == RegistryShape::Branch::Machine) {
        const std::string c = "Software\\Classes\\";
        b.str(b.key(c + ".txt"), "", "txtfile");
        b.str(b.key(c + ".txt\\ShellNew"), "NullFile", "");
        b.str(b.key(c + "txtfile"), "", "Text Document");
        b.str(b.key(c + ".bmp"), "", "Paint.Picture");
        b.str(b.key(c + ".bmp\\ShellNew"), "NullFile", "");
        b.str(b.key(c + "Paint.Picture"), "", "Bitmap Image");
        b.str(b.key(c + "Paint.Picture\\DefaultIcon"), "", "C:\\PROGRA~1\\ACCESS~1\\MSPAINT.EXE,1");
        b.str(b.key(c + ".lnk"), "", "lnkfile");
        b.str(b.key(c + ".lnk\\ShellNew"), "Command", "RunDLL32 AppWiz.Cpl,NewLinkHere %1");
        b.str(b.key(c + "AudioCD\\shell"), "", "play");
        b.str(b.key(c + "AudioCD\\shell\\play\\command"), "", "C:\\WINDOWS\\CDPLAYER.EXE /play %1");
        b.str(b.key(c + "Folder"), "", "Folder");
        b.str(b.key(c + "Folder\\shell\\open\\command"), "", "C:\\WINDOWS\\Explorer.exe /idlist,%I,%L");
        b.str(b.key(c + "Directory"), "", "File Folder");
        b.str(b.key(c + "Unknown\\shell"), "", "openas");
        b.str(b.key(c + "Unknown\\shell\\openas\\command"), "", "C:\\WINDOWS\\rundll32.exe shell32.dll,OpenAs_RunDLL %1");
        Key& cv = b.key("Software\\Microsoft\\Windows\\CurrentVersion");
        b.str(cv, "ProductName", "Microsoft Windows 98");
        b.str(cv, "RegisteredOrganization", "Home");
        b.str(cv, "RegisteredOwner", "User");
        b.str(cv, "VersionNumber", "4.10.1998");
        b.str(b.key("Software\\Microsoft\\Windows\\CurrentVersion\\Setup"), "SourcePath", "C:\\WINDOWS\\OPTIONS\\CABS");
        Key& fs = b.key("System\\CurrentControlSet\\Control\\FileSystem");
        b.set(fs, "Win31FileSystem", 3, std::string(1, '\0'));
    } else {
        Key& d = b.key("Control Panel\\Desktop");
        b.str(d, "HungAppTimeout", "5000");
        b.str(d, "MenuShowDelay", "400");
        b.str(d, "WaitToKillAppTimeout", "20000");
        b.str(b.key("Control Panel\\Desktop\\WindowMetrics"), "MinAnimate", "1");
        b.set(b.key("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer"), "link", 3, std::string("\x1e\0\0\0", 4));
        b.bin(b.key("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder\\Start Menu\\&Programs"), "Order", 200);
        b.set(b.key("Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer"), "NoDriveTypeAutoRun", 3,
              std::string("\x95\0\0\0", 4));
    }
}

std::string render(const Builder& b, const RegistryShape& s) {
    std::string out = "WINE REGISTRY Version 2\n;; All keys relative to ";
    out += s.branch == RegistryShape::Branch::Machine ? "\\\\Machine" : "\\\\User\\\\S-1-5-21-0-0-0-1000";
    out += "\n";
    if (s.arch && *s.arch) {
        out += "\n#arch=";
        out += s.arch;
        out += "\n";
    }
    writeKey(out, b.root, std::string(), true);
    return out;
}

// Wine 8 era: 2024-01-15 08:00:00 UTC.
constexpr uint64_t kStartTime = kTicks1601To1970 + 1705305600ULL * kTicksPerSecond;

}  // namespace

GeneratedRegistry generateRegistry(const RegistryShape& s) {
    Builder b(s.seed, kStartTime);
    if (s.pageKeys) addPageKeys(b, s.branch);
    addClasses(b, s);
    std::string text = render(b, s);
    size_t unit = 0;
    while (text.size() < s.targetBytes) {
        // Add mixed content by the estimate, then measure the real text and top up.
        const size_t goal = b.approxBytes() + (s.targetBytes - text.size());
        while (b.approxBytes() < goal) addMixed(b, s.branch, unit++);
        text = render(b, s);
    }
    GeneratedRegistry g;
    g.text = std::move(text);
    g.keys = b.keys();
    g.values = b.values();
    return g;
}

std::string generateSystemReg(size_t bytes, uint64_t seed) {
    RegistryShape s;
    s.seed = seed;
    s.targetBytes = bytes;
    return generateRegistry(s).text;
}

std::string generateUserReg(size_t bytes, uint64_t seed) {
    RegistryShape s;
    s.branch = RegistryShape::Branch::User;
    s.seed = seed;
    s.targetBytes = bytes;
    return generateRegistry(s).text;
}

RegistryShape bigClassesShape(size_t extraBytes) {
    RegistryShape s;
    s.classes = 20000;
    s.extensions = 5000;
    s.shellNew = 1000;
    s.pageKeys = true;
    s.targetBytes = extraBytes;
    return s;
}

}  // namespace qv::bench
