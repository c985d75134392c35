// One registry file in Wine's text format, held as a tree that writes back byte for byte.
//
// Keys read from the file keep a reference to their original text; a key nobody changed is
// written back from that text, so an unchanged part of a changed file stays identical. A changed
// key is written the way Wine writes it. Lines Wine would skip are kept where they stood.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv::reg {

struct RegValue {
    std::u16string name;  // empty: the key's default value
    uint32_t type = 0;
    std::string data;     // raw bytes
};

// A line of the file the reader could not use, written back after the value it followed.
struct KeptLine {
    std::string text;            // with its line end(s)
    bool afterValue = false;     // false: right after the key's header and options
    std::u16string after;        // the value it followed
    bool orphan = false;         // after a key header Wine refused: stays after all values, so
                                 // that the values written with the key keep belonging to it
};

class RegKey;
struct KeyIndex;  // the key headers of a file, whose keys are built when first used

// Where the keys of another kind of store (a Windows hive) are kept until first used: a key bound
// to a node of a source reads its values, and makes its subkeys (each bound to its own node), the
// first time they are asked for. A source outlives every key bound to it, copies included.
class KeySource {
public:
    virtual ~KeySource() = default;
    // The node's subkeys under owner, in the tree's order.
    virtual void readSubkeys(RegKey* owner, uint32_t node, std::vector<std::unique_ptr<RegKey>>* out) const = 0;
    // The values of owner's node, in the tree's order.
    virtual void readValues(const RegKey* owner, uint32_t node, std::vector<RegValue>* out) const = 0;
};

// A key's subkeys in Wine's order, built from the file's key headers when first used. Counting
// them, listing their names and finding one by name need no list: a lookup builds only the key
// it finds. Anything that walks, changes or indexes the list builds it whole.
class SubkeyList {
public:
    using List = std::vector<std::unique_ptr<RegKey>>;
    using iterator = List::iterator;
    using const_iterator = List::const_iterator;

    explicit SubkeyList(RegKey* owner) : owner_(owner) {}

    size_t size() const;
    bool empty() const { return index_ ? first_ == last_ : all().empty(); }
    // The i-th subkey's name (i < size()), read from the file while the list is not built.
    std::u16string nameAt(size_t i) const;
    // The subkey named n (folded as Wine folds names), or null.
    RegKey* find(std::u16string_view n) const;

    List& all() const {
        if (index_ || sourced_) build();
        return list_;
    }
    iterator begin() { return all().begin(); }
    iterator end() { return all().end(); }
    const_iterator begin() const { return all().begin(); }
    const_iterator end() const { return all().end(); }
    auto rbegin() { return all().rbegin(); }
    auto rend() { return all().rend(); }
    auto rbegin() const { return all().crbegin(); }
    auto rend() const { return all().crend(); }
    std::unique_ptr<RegKey>& operator[](size_t i) { return all()[i]; }
    const std::unique_ptr<RegKey>& operator[](size_t i) const { return all()[i]; }
    std::unique_ptr<RegKey>& back() { return all().back(); }
    iterator insert(const_iterator at, std::unique_ptr<RegKey> k) { return list_.insert(at, std::move(k)); }
    iterator erase(const_iterator at) { return list_.erase(at); }
    void push_back(std::unique_ptr<RegKey> k) { all().push_back(std::move(k)); }
    void reserve(size_t n) { all().reserve(n); }
    void clear();

    // Appends the paths (prefix, then "\"-joined names) of the keys at most levels below whose own
    // name is one of names, each key before its subkeys; what is not built yet is read from the
    // file's headers, and nothing is built.
    void findNamed(const std::vector<std::u16string>& names, size_t levels, std::u16string& prefix,
                   std::vector<std::u16string>* found) const;

    // Internal to the store: whether the list is built, the keys made so far, the headers below.
    bool built() const { return index_ == nullptr && !sourced_; }
    List& made() const { return list_; }
    void setLazy(const KeyIndex* index, uint32_t first, uint32_t last, uint32_t depth, uint32_t at,
                 uint64_t implied);
    void copyLazy(const SubkeyList& from);
    const KeyIndex* index() const { return index_; }
    uint32_t first() const { return first_; }
    uint32_t last() const { return last_; }

private:
    // Made on the first lookup: the key made for each of groups_, and for a list looked into
    // again and again (a page visiting every class) a table of the names' hashes.
    struct Lookup {
        std::vector<RegKey*> slots;
        // By the hash of its folded name: 1 + a group (0: free) and the hash itself.
        std::vector<std::pair<uint32_t, uint32_t>> table;
        uint32_t finds = 0;
    };
    void build() const;
    void count() const;
    Lookup& lookup() const;
    size_t findGroup(std::u16string_view n) const;  // groups_.size() when there is none
    std::unique_ptr<RegKey> make(uint32_t at) const;

    friend class RegKey;
    RegKey* owner_;
    mutable bool sourced_ = false;  // the owner's source holds subkeys not made yet
    mutable List list_;  // built: every subkey; else the keys found so far, in the order found
    mutable const KeyIndex* index_ = nullptr;
    uint32_t first_ = 0, last_ = 0, depth_ = 0;  // headers [first_, last_) lie below, depth_: owner's
    uint32_t at_ = 0;        // where in their paths the subkeys' names begin
    uint64_t implied_ = 0;   // the time of subkeys that have no header of their own
    mutable std::vector<uint32_t> groups_;       // where each subkey's headers begin, once counted
    mutable std::unique_ptr<Lookup> lookup_;
};

class RegKey {
public:
    RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    // Frees the subtree with bounded recursion: a file may nest keys deeper than the stack allows.
    ~RegKey();

    std::u16string name;
    RegKey* parent = nullptr;
    SubkeyList subkeys{this};                      // Wine's order
    uint64_t modif = 0;                            // last change, 100 ns ticks since 1601
    std::unique_ptr<std::u16string> cls;           // rare: kept out of line, like kept lines
    std::unique_ptr<std::vector<KeptLine>> kept;

    // Position in the source text while the key is as it was read.
    uint32_t rawLead = 0, rawBegin = 0, rawEnd = 0;  // [rawLead, rawBegin) blank lines, then the key
    bool rawValid = false;
    bool link = false;

    // Values in Wine's order. A file's values are read when first asked for: opening a file only
    // checks their lines, so a large registry opens fast and untouched keys cost no memory.
    std::vector<RegValue>& values() {
        if (lazyEnd_) loadValues();
        return values_;
    }
    const std::vector<RegValue>& values() const {
        if (lazyEnd_) loadValues();
        return values_;
    }
    bool hasValues() const { return lazyEnd_ ? lazyCount_ > 0 : !values_.empty(); }

    // Index of the first subkey/value not sorting before name; found tells whether it is equal.
    size_t subkeyPosition(std::u16string_view n, bool* found) const;
    size_t valuePosition(std::u16string_view n, bool* found) const;
    RegKey* subkey(std::u16string_view n) const;
    const RegValue* value(std::u16string_view n) const;
    // Whether Wine writes a header for this key (otherwise its subkeys imply it).
    bool needsHeader() const {
        return hasValues() || subkeys.empty() || cls || link || (kept && !kept->empty());
    }
    std::u16string path() const;  // relative to the file's root, "\"-joined
    // Internal to the stores: binds the key to a node of src, whose values (how many: values)
    // and subkeys (whether any) are read when first used.
    void setSource(const KeySource* src, uint32_t node, uint32_t values, bool hasSubkeys);
    const KeySource* source() const { return source_; }
    uint32_t sourceNode() const { return header_; }
    // A deep copy under another parent; unchanged keys keep referring to the same source text.
    // Like the destructor and the writer it walks the tree with a stack of its own.
    std::unique_ptr<RegKey> clone(RegKey* newParent) const;

private:
    friend class WineParser;
    friend class SubkeyList;
    void loadValues() const;

    uint32_t header_ = UINT32_MAX;  // the first file header at or below this key, for lazy keys;
                                    // for a key of a source, its node there
    const KeySource* source_ = nullptr;

    mutable std::vector<RegValue> values_;
    const std::string* lazySource_ = nullptr;
    mutable uint32_t lazyBegin_ = 0, lazyEnd_ = 0;  // value lines not read yet
    uint32_t lazyCount_ = 0;                         // good value lines among them
    // Keys are many: keep this class small (a large registry holds a hundred thousand of them).
};

// A change as it was asked for, kept until the commit so that it can be replayed onto a copy of
// the file that someone else changed in the meantime, with what it replaced so that it can be
// taken back exactly. CreateKey is recorded once for every level it created, parents first.
// MoveKey marks a move (path: the source, name: the destination, type: how many of the ops after
// it made the move); those ops carry the old state, the marker only says to move again whatever
// the source holds when replayed.
// (Small fields are grouped: a large import journals millions of these.)
struct RegOp {
    enum Kind { CreateKey, SetValue, DeleteValue, DeleteKey, MoveKey } kind = CreateKey;
    uint32_t type = 0;
    // The key's path is the first pathLen units of pathText, which ops on the same key share, as
    // the levels one createKey made share the deepest one's: a journal of many values of a deep
    // key, or of a deep key's levels, holds its path once.
    std::shared_ptr<const std::u16string> pathText;
    size_t pathLen = 0;
    std::u16string name;
    std::string data;

    std::string oldData;        // value ops: with oldType, the value as it was when hadValue
    uint64_t oldModif = 0;      // the key the op touched (value ops) or its parent (key ops)
    std::shared_ptr<const RegKey> removed;  // DeleteKey: the subtree as it was
    uint32_t oldType = 0;
    bool hadValue = false;
    bool oldRaw = false;
    bool link = false;                      // CreateKey: the key was made a symbolic link

    std::u16string_view path() const {
        return pathText ? std::u16string_view(*pathText).substr(0, pathLen) : std::u16string_view();
    }
    void setPath(std::shared_ptr<const std::u16string> text) {
        pathLen = text->size();
        pathText = std::move(text);
    }

    static RegOp make(Kind k, std::shared_ptr<const std::u16string> path, std::u16string name = {},
                      uint32_t type = 0, std::string data = {}) {
        RegOp op;
        op.kind = k;
        op.setPath(std::move(path));
        op.name = std::move(name);
        op.type = type;
        op.data = std::move(data);
        return op;
    }
};

// Blocks rather than one array: a journal of millions of ops never holds a spare half, nor two
// copies while it grows.
using RegJournal = std::deque<RegOp>;

class RegFile {
public:
    // Parses a file's bytes. Returns null and sets *error when Wine would refuse the file.
    // name is used in warnings ("NAME:LINE: reason").
    static std::unique_ptr<RegFile> parse(std::string content, const std::string& name,
                                          std::string* error);
    // A new file with the given header lines (each without its line end).
    static std::unique_ptr<RegFile> create(std::string_view rootComment, std::string_view arch);

    std::string serialize() const;

    RegKey& root() { return *root_; }
    const RegKey& root() const { return *root_; }
    const std::vector<std::string>& warnings() const { return warnings_; }
    const std::string& source() const { return source_; }
    // The file's "#arch=" line ("win32", "win64"), or "" when it has none.
    std::string_view arch() const;

    // Path: components separated by "\"; leading and trailing ones are ignored.
    // Returns 0 or a Windows error number.
    int findKey(std::u16string_view path, RegKey** out) const;
    // The same below `from`, for a path in UTF-8; it builds no key but those on the path.
    static int findKey(const RegKey* from, std::string_view path, RegKey** out);
    // A key created by this call with `link` set is made a symbolic link (Wine's #link).
    int createKey(std::u16string_view path, RegKey** out, bool link = false);
    int setValue(RegKey* key, std::u16string_view name, uint32_t type, std::string_view data);
    int deleteValue(RegKey* key, std::u16string_view name);
    int deleteKey(RegKey* key);
    // Copies the key's subtree onto `to` (merging, the source winning) and deletes the source,
    // recorded as one move. Moving a key into itself or its own subtree is refused.
    int moveKey(std::u16string_view from, std::u16string_view to);

    bool changed() const { return !journal_.empty(); }
    const RegJournal& journal() const { return journal_; }
    void clearJournal() { journal_.clear(); }
    // Takes back every change after the first `mark` journal entries, newest first, restoring
    // values, keys, key times and the original text of keys that are as they were.
    void rollbackTo(size_t mark);
    // Applies changes made elsewhere (recorded again in this file's journal).
    void replay(const RegJournal& ops);

    // Current time for new timestamps; tests may fix it.
    static uint64_t now();
    static void setClock(uint64_t (*clock)());

    ~RegFile();

private:
    RegFile();
    void touch(RegKey* key);
    // The key's path for the journal, shared with the entry before when it named the same key.
    std::shared_ptr<const std::u16string> journalPath(const RegKey* key);
    void forgetJournalPath() { pathKey_ = nullptr, pathOfKey_.reset(); }
    static int splitPath(std::u16string_view path, std::vector<std::u16string_view>* parts);

    std::string source_;
    std::string preamble_, trailer_;
    std::unique_ptr<RegKey> root_;
    std::vector<std::string> warnings_;
    RegJournal journal_;
    // The last key journalPath() spelled out; forgotten whenever a key leaves the tree, so that
    // a new key at a freed key's address is never taken for it.
    const RegKey* pathKey_ = nullptr;
    std::shared_ptr<const std::u16string> pathOfKey_;
    std::unique_ptr<KeyIndex> index_;  // set when the keys are built as they are used

    friend class WineParser;
};

// While one lives, files read on this thread are opened from their key headers alone: the lines
// of a key are checked when the key is first built rather than at opening, so that a reader of a
// few keys of a large file pays for those keys only. What such a file cannot tell: the warnings
// of lines no one read. For a reader that changes nothing. clean() says whether every key built
// so far passed the checks opening makes; when not, the reader reads again without one, to have
// the full reader's answer.
class HeaderOnlyReading {
public:
    HeaderOnlyReading();
    ~HeaderOnlyReading();
    HeaderOnlyReading(const HeaderOnlyReading&) = delete;
    HeaderOnlyReading& operator=(const HeaderOnlyReading&) = delete;
    bool clean() const { return !failed_->load(); }
    // The innermost one living on this thread, or null.
    static HeaderOnlyReading* current();
    const std::shared_ptr<std::atomic<bool>>& failed() const { return failed_; }

private:
    std::shared_ptr<std::atomic<bool>> failed_;
    HeaderOnlyReading* outer_;
};

// Files at least this large are checked in two halves at once (4 MiB; tests and the fuzzer set
// it lower to reach the seam with small files).
void setSplitScanSize(size_t bytes);

// Wine's string escaping, as the writer uses it (exposed for the tools and tests).
void appendEscaped(std::string& out, std::u16string_view s, char delim1, char delim2);

}  // namespace qv::reg
