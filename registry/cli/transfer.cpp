// quorvel-reg's export, import and copy: whole subtrees between a machine and .reg files or keys.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

#include "registry/cli/tool.h"
#include "registry/machines/branches.h"
#include "registry/safefile.h"
#include "registry/text.h"

namespace qv::reg::cli {

namespace {

// Options of export, import and copy: the letters allowed, each at most once unless repeatable;
// /reg:32 or /reg:64 once. False on anything else.
bool parseFlags(const std::vector<std::string>& args, size_t from, std::string_view letters,
                std::string_view repeatable, std::string* seen, int* view) {
    for (size_t i = from; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.size() < 2 || (a[0] != '/' && a[0] != '-')) return false;
        const std::string name = upperAscii(std::string_view(a).substr(1));
        if (name == "REG:32" || name == "REG:64") {
            if (!takeView(name, view)) return false;
            continue;
        }
        if (name.size() != 1 || letters.find(name[0]) == std::string_view::npos) return false;
        if (seen->find(name[0]) != std::string::npos && repeatable.find(name[0]) == std::string_view::npos)
            return false;
        *seen += name[0];
    }
    return true;
}

// The rest of a stream, in blocks into room made for the size expected (a file's).
void readAll(std::istream& in, uintmax_t expected, std::string* out) {
    out->reserve(static_cast<size_t>(expected));
    char block[1 << 16];
    while (in.read(block, sizeof block) || in.gcount() > 0) out->append(block, static_cast<size_t>(in.gcount()));
}

// Why a file could not be written, in the words Windows uses for the common cases.
std::string fileError(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR: return "Path not found.";
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return "Access denied.";
    default: return std::strerror(err);
    }
}

// Every key below `at`, depth first in the store's order (Wine's), links followed.
void exportTree(Run& s, RegExportWriter& w, const Place& at, const std::string& shown) {
    auto write = [&](const Place& p, const std::string& sh) {
        HKey k;
        if (s.machine().openKey(p.root, p.path, &k) != ERROR_SUCCESS) return false;
        w.key(utf8ToUtf16(sh));
        for (const StoredValue& v : s.keys().valuesOf(k)) w.value(v.name, v.type, v.data);
        s.machine().closeKey(k);
        return true;
    };
    if (write(at, shown)) s.keys().walkTree(at, shown, false, write);
}

}  // namespace

int exportKey(Run& s, const std::vector<std::string>& args, size_t i) {
    if (args.size() - i < 2) return s.fail(syntaxError(Op::Export));
    KeyArg key;
    if (auto msg = parseKey(args[i], &key)) return s.fail(*msg);
    const std::string file = args[i + 1];
    std::string flags;
    if (!parseFlags(args, i + 2, "Y", "Y", &flags, &s.view)) return s.fail(syntaxError(Op::Export));
    if (auto msg = rootOutside(key)) return s.fail(*msg);
    if (key.leadingEmpty) return s.fail(kKeyNotFound);
    if (!s.openMachine()) return 1;
    const std::optional<Place> found = s.keys().existingKey(key);
    if (!found) return s.fail(kKeyNotFound);

    std::error_code ec;
    if (flags.empty() && std::filesystem::exists(file, ec)) {
        const Answer a = s.ask("The file '" + file + "' already exists. Do you want to overwrite it?");
        if (a != Answer::Yes) return s.cancelled(a);
    }
    RegExportWriter w;
    exportTree(s, w, *found, key.shown);
    const std::string bytes = w.finish();
    try {
        // A link planted at the name is replaced, never written through.
        writeFileSafely(file, bytes);
    } catch (const SafeFileError& e) {
        return s.fail(e.code() ? fileError(e.code()) : "quorvel-reg: " + std::string(e.what()));
    }
    return 0;
}

int importFile(Run& s, const std::vector<std::string>& args, size_t i) {
    if (args.size() - i < 1) return s.fail(syntaxError(Op::Import));
    const std::string file = args[i];
    std::string flags;
    if (!parseFlags(args, i + 1, "", "", &flags, &s.view)) return s.fail(syntaxError(Op::Import));
    std::string bytes;
    if (file == "-") {
        readAll(s.io.in, 0, &bytes);
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in || std::filesystem::is_directory(file))
            return s.fail("reg: The file '" + file + "' was not found.");
        std::error_code ec;
        const uintmax_t size = std::filesystem::file_size(file, ec);
        readAll(in, ec ? 0 : size, &bytes);
    }
    const std::string shownName = file == "-" ? std::string("(standard input)") : file;
    const std::string nothing = "\nquorvel-reg: nothing was imported";
    // The file is read three times rather than held as a change set: checked whole first (what
    // the store would refuse is told with its line before anything is done), its keys then
    // resolved, then applied. A value's key is its [KEY] line's, so only key lines are looked at.
    auto keyOp = [](const ChangeOp& op) { return op.kind == ChangeOp::Kind::CreateKey || op.kind == ChangeOp::Kind::DeleteKey; };
    std::string error, why;
    size_t whyLine = 0;
    const bool read = readRegFileOps(bytes, shownName, &error, [&](const ChangeOp& op, size_t line) {
        if (!why.empty()) return true;
        if (!keyOp(op)) {
            if (op.name.size() > kMaxValueNameLength)
                why = "The value name is longer than " + std::to_string(kMaxValueNameLength) + " characters";
        } else if (op.root != HKEY_LOCAL_MACHINE && op.root != HKEY_CURRENT_USER && op.root != HKEY_CLASSES_ROOT &&
                   op.root != HKEY_USERS) {
            why = std::string(rootName(op.root)) +
                  " is not part of this registry (HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, "
                  "HKEY_CLASSES_ROOT and the user's branch of HKEY_USERS are)";
        } else if (auto msg = refusedName(utf16ToUtf8(op.key), nullptr, op.kind == ChangeOp::Kind::CreateKey)) {
            why = msg->substr(5);
        }
        whyLine = line;
        return true;
    });
    if (!read) return s.fail("quorvel-reg: " + error + nothing);
    if (!why.empty()) return s.fail("quorvel-reg: " + shownName + ":" + std::to_string(whyLine) + ": " + why + nothing);
    if (!s.openMachine()) return 1;
    // HKEY_USERS\<this machine's user> is HKEY_CURRENT_USER, as in a whole-registry export; any
    // other branch refuses the file before anything is done.
    readRegFileOps(bytes, shownName, nullptr, [&](const ChangeOp& op, size_t line) {
        if (op.root != HKEY_USERS) return true;
        ChangeOp mapped = op;
        bool drop;
        if (mapUsersBranch(s.machine(), &mapped, &drop, &error)) return true;
        why = error;
        whyLine = line;
        return false;
    });
    if (!why.empty()) return s.fail("quorvel-reg: " + shownName + ":" + std::to_string(whyLine) + ": " + why + nothing);
    const std::string wineFile =
        file == "-" ? file : std::filesystem::absolute(file).lexically_normal().string();
    if (s.wineserverStops("wine reg import " + shellQuote(wineFile) + s.viewSwitch())) return 1;

    // Keys are reached through symbolic links as Wine reaches them (HKLM\System\CurrentControlSet
    // is one), all as they are before the import; a deleted key is the link itself, as with
    // delete. Only the key lines a link leads elsewhere are kept, by their number.
    std::vector<std::pair<size_t, Place>> elsewhere;
    size_t keyLines = 0;
    std::vector<std::string> inMemory;
    ChangeOp prepared;
    readRegFileOps(bytes, shownName, nullptr, [&](const ChangeOp& in, size_t) {
        if (!keyOp(in)) return true;
        const size_t n = keyLines++;
        const Prepared how = prepareOp(s.machine(), in, &prepared, &error, nullptr);
        if (how == Prepared::Drop || how == Prepared::Refuse) return true;
        const ChangeOp& op = how == Prepared::Mapped ? prepared : in;
        bool exists;
        const std::string key = utf16ToUtf8(op.key);
        const std::optional<Place> to =
            s.keys().resolveFromRoot(op.root, key, op.kind != ChangeOp::Kind::DeleteKey, &exists);
        if (!to) {
            std::string shown(rootName(op.root));
            if (!op.key.empty()) shown += "\\" + key;
            why = shown + ": a symbolic link on the way leads out of this registry";
            return false;
        }
        if (to->root != op.root || to->path != key) elsewhere.emplace_back(n, *to);
        return true;
    });
    if (!why.empty()) return s.fail("quorvel-reg: " + shownName + ": " + why + nothing);

    Machine::Applier applier(s.machine());
    keyLines = 0;
    size_t next = 0;  // in elsewhere
    ChangeOp moved;   // the last key line's operation when a link leads it elsewhere
    bool isMoved = false;
    int32_t st = ERROR_SUCCESS;
    readRegFileOps(bytes, shownName, nullptr, [&](const ChangeOp& in, size_t) {
        // What Wine keeps only in memory stays out of the files, as Wine's import leaves it.
        const Prepared how = prepareOp(s.machine(), in, &prepared, &error, &inMemory);
        if (keyOp(in) && how == Prepared::Drop) ++keyLines;
        if (how == Prepared::Drop) return true;
        if (how == Prepared::Refuse) {
            st = ERROR_INVALID_PARAMETER;
            return false;
        }
        const ChangeOp& op = how == Prepared::Mapped ? prepared : in;
        if (keyOp(op)) {
            const size_t n = keyLines++;
            isMoved = next < elsewhere.size() && elsewhere[next].first == n;
            if (isMoved) {
                moved = op;
                moved.root = elsewhere[next].second.root;
                moved.key = utf8ToUtf16(elsewhere[next].second.path);
                ++next;
            }
            st = applier.add(isMoved ? moved : op, false, &error);
            return st == ERROR_SUCCESS;
        }
        if (!isMoved) {
            st = applier.add(op, true, &error);
            return st == ERROR_SUCCESS;
        }
        // The value goes where its key went.
        moved.kind = op.kind;
        moved.name = op.name;
        moved.type = op.type;
        moved.data = op.data;
        st = applier.add(moved, true, &error);
        return st == ERROR_SUCCESS;
    });
    if (st != ERROR_SUCCESS) return s.fail("quorvel-reg: " + shownName + ": " + error + nothing);
    bytes.clear();
    bytes.shrink_to_fit();
    if (!s.commit()) return 1;
    if (!inMemory.empty()) {
        s.io.err << "quorvel-reg: note: left out what the file sets in keys Wine keeps only in memory (as Wine's "
                    "import does):";
        for (const std::string& k : inMemory) s.io.err << "\n  " << k;
        s.io.err << '\n';
    }
    return 0;
}

int copyKey(Run& s, const std::vector<std::string>& args, size_t i) {
    if (args.size() - i < 2) return s.fail(syntaxError(Op::Copy));
    std::string flags;
    if (!parseFlags(args, i + 2, "SF", "", &flags, &s.view)) return s.fail(syntaxError(Op::Copy));
    const bool recurse = flags.find('S') != std::string::npos;
    bool force = flags.find('F') != std::string::npos;
    KeyArg src, dst;
    if (auto msg = parseKey(args[i], &src)) return s.fail(*msg);
    if (auto msg = parseKey(args[i + 1], &dst)) return s.fail(*msg);
    if (auto msg = rootOutside(src)) return s.fail(*msg);
    if (auto msg = rootOutside(dst)) return s.fail(*msg);
    if (src.root == dst.root && equalsNoCase(src.path, dst.path) && src.leadingEmpty == dst.leadingEmpty)
        return s.fail("reg: The source and destination keys cannot be the same");
    if (src.leadingEmpty) return s.fail(kKeyNotFound);
    if (dst.leadingEmpty) return s.fail(kCannotCreate);
    if (auto msg = refusedName(dst.path, nullptr)) return s.fail(*msg);
    if (!s.openMachine()) return 1;
    const std::optional<Place> from = s.keys().existingKey(src);
    if (!from) return s.fail(kKeyNotFound);
    bool exists;
    std::string wineCommand = "wine reg copy " + shellQuote(args[i]) + ' ' + shellQuote(args[i + 1]);
    if (recurse) wineCommand += " /s";
    if (force) wineCommand += " /f";
    wineCommand += s.viewSwitch();
    if (s.wineserverStops(wineCommand)) return 1;
    const std::optional<Place> to = s.keys().resolveFromRoot(dst.root->handle, dst.path, true, &exists);
    if (!to) return s.fail(kCannotCreate);

    // The source as it is now, so that a copy into its own subtree copies what was there once.
    struct Node {
        std::string rel, shownPath;  // below the source; the source path as typed, for questions
        std::vector<StoredValue> values;
    };
    std::vector<Node> nodes;
    const std::string typed = key0Path(args[i]);
    // Walked with "" as the source's shown path, so that a key's path below it is what follows
    // the leading backslash.
    auto take = [&](const Place& at, const std::string& below) {
        HKey h;
        if (s.machine().openKey(at.root, at.path, &h) != ERROR_SUCCESS) return false;
        const std::string rel = below.empty() ? below : below.substr(1);
        nodes.push_back({rel, typed + below, s.keys().valuesOf(h)});
        s.machine().closeKey(h);
        return true;
    };
    if (take(*from, {}) && recurse) s.keys().walkTree(*from, {}, false, take);

    ChangeSet changes;
    for (const Node& n : nodes) {
        const std::string path = childPath(to->path, n.rel);
        ChangeOp create;
        create.kind = ChangeOp::Kind::CreateKey;
        create.root = to->root;
        create.key = utf8ToUtf16(path);
        changes.ops.push_back(create);
        HKey d = nullptr;
        const bool destHere = s.machine().openKey(to->root, path, &d) == ERROR_SUCCESS;
        for (const StoredValue& v : n.values) {
            const std::string name = utf16ToUtf8(v.name);
            if (!force && destHere && s.machine().queryValue(d, name, nullptr, nullptr) == ERROR_SUCCESS) {
                const Answer a = s.askAll("The value '" + n.shownPath + '\\' +
                                          (name.empty() ? std::string("(Default)") : name) +
                                          "' already exists in the destination key. Do you want to "
                                          "overwrite it?");
                if (a == Answer::NoInput) {
                    s.machine().closeKey(d);
                    return s.cancelled(a);
                }
                if (a == Answer::No) continue;
                if (a == Answer::All) force = true;
            }
            ChangeOp set;
            set.kind = ChangeOp::Kind::SetValue;
            set.root = to->root;
            set.key = create.key;
            set.name = v.name;
            set.type = v.type;
            set.data = v.data;
            changes.ops.push_back(std::move(set));
        }
        if (destHere) s.machine().closeKey(d);
    }
    std::string error;
    if (s.machine().apply(changes, &error) != ERROR_SUCCESS) return s.fail("reg: " + error);
    if (!s.commit()) return 1;
    return 0;
}

}  // namespace qv::reg::cli
