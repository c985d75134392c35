// The full reader: any file Wine takes, with the lines it would skip kept where they stood, keys
// named twice merged and out-of-order keys sorted. RegFile::parse tries the quick scan first.
#include <algorithm>
#include <map>
#include <unordered_map>

#include "registry/api.h"
#include "registry/text.h"
#include "registry/wine/keyindex.h"

namespace qv::reg {

using namespace wine;

namespace {

inline bool sameText(const std::u16string& a, std::u16string_view b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), b.size() * sizeof(char16_t)) == 0;
}

inline bool sameOrFolded(const std::u16string& a, std::u16string_view b) {
    return a.size() == b.size() &&
           (std::memcmp(a.data(), b.data(), b.size() * sizeof(char16_t)) == 0 || compareNames(a, b) == 0);
}

}  // namespace

class WineParser {
    struct NameLess {
        using is_transparent = void;
        bool operator()(std::u16string_view a, std::u16string_view b) const { return compareNames(a, b) < 0; }
    };
    // Names point into the keys, which stay where they are while the file is read.
    using SubkeyIndex = std::map<std::u16string_view, RegKey*, NameLess>;

public:
    WineParser(RegFile& f, const std::string& name) : f_(f), name_(name) {}

    bool run(std::string* error) {
        const std::string& src = f_.source_;
        const char* base = src.data();
        const char* end = base + src.size();
        const char* p = base;
        size_t lineNo = 0;
        size_t blankStart = SIZE_MAX;  // start of the run of blank lines before the current line
        size_t preambleEnd = SIZE_MAX;
        bool first = true;

        while (p < end) {
            const TextLine line = lineAt(p, end);
            const char* next = line.next;
            const char* le = line.end;
            ++lineNo;
            const size_t lineStart = static_cast<size_t>(p - base);

            if (first) {
                first = false;
                if (std::string_view(p, static_cast<size_t>(le - p)) != "WINE REGISTRY Version 2") {
                    *error = name_ + ": not a Wine registry file (the first line is not \"WINE REGISTRY Version 2\")";
                    return false;
                }
                p = next;
                continue;
            }
            const char* s = p;
            while (s < le && isSpace(*s)) ++s;
            if (s == le) {
                if (blankStart == SIZE_MAX) blankStart = lineStart;
                p = next;
                continue;
            }
            const size_t lead = blankStart == SIZE_MAX ? lineStart : blankStart;
            blankStart = SIZE_MAX;

            switch (*s) {
            case '[': {
                sawKeyLine_ = true;
                closeValues(lineStart);
                RegKey* key = openKeyHeader(s + 1, le, lineNo);
                if (!key) {
                    current_ = nullptr;
                    keep(p, next);
                    break;
                }
                closeRaw(lead);
                if (preambleEnd == SIZE_MAX) preambleEnd = lead;
                if (key->rawBegin || caseDiffers_) {
                    // A second header for the same key is no longer one piece of text, and a
                    // header spelled in another case than the key's first mention would rename it.
                    key->rawValid = false;
                    key->rawBegin = key->rawBegin ? key->rawBegin : static_cast<uint32_t>(lineStart);
                } else {
                    key->rawValid = true;
                    key->rawLead = static_cast<uint32_t>(lead);
                    key->rawBegin = static_cast<uint32_t>(lineStart);
                }
                current_ = holder_ = rawOwner_ = key;
                lastGoodValue_ = nullptr;
                // A key named twice: what the first header held is read now, the rest merges in.
                if (key->lazyEnd_) key->loadValues();
                key->lazySource_ = &src;
                key->lazyBegin_ = static_cast<uint32_t>(next - base);
                key->lazyCount_ = 0;
                break;
            }
            case '@':
            case '"':
                if (!current_) {
                    warn(lineNo, "value without key");
                    keep(p, next);
                } else {
                    // Values are only checked here; the key reads them when asked (RegKey::values).
                    size_t extra = 0;
                    const char* after;
                    if (const char* reason = parseValueLine(s, le, next, end, nullptr, text_, &after, &extra)) {
                        warn(lineNo, reason);
                        keep(p, after);
                        if (reason == kDanglingContinuation && holder_) {
                            holder_->kept->back().text += kDanglingContinuationStop;
                            holder_->rawValid = false;  // its text would take the next key's header
                        }
                    } else {
                        ++current_->lazyCount_;
                        lastGoodValue_ = s;
                        lastGoodValueEnd_ = le;
                    }
                    next = after;
                    lineNo += extra;
                }
                break;
            case '#':
                if (!sawKeyLine_) {
                    if (!globalOption(s, le, lineNo, error)) return false;
                } else if (current_) {
                    keyOption(p, s, le, next, lineNo);
                } else {
                    keep(p, next);
                }
                break;
            case ';':
                keep(p, next);
                break;
            default:
                warn(lineNo, "unrecognized input");
                keep(p, next);
                break;
            }
            p = next;
        }
        if (first) {
            *error = name_ + ": not a Wine registry file (it is empty)";
            return false;
        }
        const size_t eof = src.size();
        const size_t tail = blankStart == SIZE_MAX ? eof : blankStart;
        closeValues(eof);
        closeRaw(tail);
        sortSubkeys();
        if (preambleEnd == SIZE_MAX) preambleEnd = tail;
        f_.preamble_.assign(src, 0, preambleEnd);
        f_.trailer_.assign(src, tail, eof - tail);
        return true;
    }

private:
    // The current key's value lines end here.
    void closeValues(size_t endOffset) {
        if (current_) current_->lazyEnd_ = current_->lazyCount_ ? static_cast<uint32_t>(endOffset) : 0;
        current_ = nullptr;
    }

    void closeRaw(size_t endOffset) {
        if (rawOwner_ && rawOwner_->rawValid) rawOwner_->rawEnd = static_cast<uint32_t>(endOffset);
        rawOwner_ = nullptr;
    }

    void warn(size_t line, const char* reason) {
        f_.warnings_.push_back(name_ + ":" + std::to_string(line) + ": " + reason);
    }

    // Keeps a line the reader does not use with the key it stands in, after the value it followed.
    // Before the first key it is part of the file's preamble text, which is kept whole.
    void keep(const char* from, const char* to) {
        if (!holder_) return;
        KeptLine kl;
        kl.text.assign(from, static_cast<size_t>(to - from));
        if (kl.text.back() != '\n') kl.text.push_back('\n');
        kl.orphan = current_ == nullptr;
        if (lastGoodValue_ && !kl.orphan) {  // lines under a refused header follow no value
            kl.afterValue = true;
            // Only the name is read, once per value however many lines follow it: the value's
            // data may be megabytes long.
            if (afterNameOf_ != lastGoodValue_) {
                afterName_.clear();
                if (*lastGoodValue_ == '"') parseString(lastGoodValue_ + 1, lastGoodValueEnd_, '"', afterName_);
                afterNameOf_ = lastGoodValue_;
            }
            kl.after = afterName_;
        }
        if (!holder_->kept) holder_->kept = std::make_unique<std::vector<KeptLine>>();
        holder_->kept->push_back(std::move(kl));
    }

    RegKey* openKeyHeader(const char* s, const char* le, size_t lineNo) {
        const char* after = skipString(s, le, ']');
        if (!after) {
            warn(lineNo, "malformed key");
            prevRaw_ = {};
            return nullptr;
        }
        // Sorted files repeat the start of the previous header: the components whose escaped text
        // is the same are the same keys, so only the rest is decoded and looked up.
        const std::string_view raw(s, static_cast<size_t>(after - 1 - s));
        size_t shared = 0;
        if (!raw.empty() && raw[0] != '\\') {
            const size_t common = commonPrefix(raw, prevRaw_);
            while (shared < prevSeparators_.size() && shared < chain_.size() &&
                   prevSeparators_[shared] + 2 <= common)
                ++shared;
        }
        const size_t from = shared ? prevSeparators_[shared - 1] + 2 : 0;
        parseString(s + from, le, ']', path_);
        const size_t inherited = prevFirstCaseDifference_ < shared ? prevFirstCaseDifference_ : SIZE_MAX;
        RegKey* key = createFromPath(path_, shared);
        if (!key) {
            warn(lineNo, "malformed key name (an empty or over-long component)");
            prevRaw_ = {};
            return nullptr;
        }
        prevRaw_ = raw;
        prevSeparators_.clear();
        const char* const rawEnd = raw.data() + raw.size();
        for (const char* q = raw.data(); q < rawEnd;) {
            q = static_cast<const char*>(std::memchr(q, '\\', static_cast<size_t>(rawEnd - q)));
            if (!q) break;
            if (q + 1 < rawEnd && q[1] == '\\') prevSeparators_.push_back(static_cast<size_t>(q - raw.data()));
            q += 2;  // an escape takes the character after the backslash with it
        }
        firstCaseDifference_ = std::min(firstCaseDifference_, inherited);
        caseDiffers_ = firstCaseDifference_ != SIZE_MAX;
        prevFirstCaseDifference_ = firstCaseDifference_;
        // Optional seconds after the bracket; a #time line wins.
        const char* q = after;
        while (q < le && isSpace(*q)) ++q;
        if (q < le && *q >= '0' && *q <= '9') {
            uint64_t secs = 0;
            while (q < le && *q >= '0' && *q <= '9') secs = secs * 10 + static_cast<uint64_t>(*q++ - '0');
            key->modif = static_cast<uint64_t>(static_cast<int64_t>(secs & 0xFFFFFFFFu) * kTicksPerSecond +
                                               kTicks1601To1970);
        } else {
            key->modif = RegFile::now();
        }
        return key;
    }

    // Walks from the root, or from the depth-th key of the previous header's chain when path is
    // the rest after it, reusing that chain since files come sorted.
    RegKey* createFromPath(std::u16string_view path, size_t depth) {
        RegKey* k = depth ? chain_[depth - 1] : f_.root_.get();
        firstCaseDifference_ = SIZE_MAX;
        size_t i = 0;
        // Leading backslashes name nothing; after a shared part they would be an empty component.
        if (!depth)
            while (i < path.size() && path[i] == u'\\') ++i;
        size_t endp = path.size();
        while (endp > i && path[endp - 1] == u'\\') --endp;
        bool restChecked = false;
        while (i < endp) {
            size_t j = i;
            while (j < endp && path[j] != u'\\') ++j;
            std::u16string_view comp = path.substr(i, j - i);
            if (!restChecked && (comp.empty() || comp.size() > kMaxKeyNameLength)) return nullptr;
            RegKey* child;
            if (depth < chain_.size() && chain_[depth]->parent == k && sameOrFolded(chain_[depth]->name, comp)) {
                child = chain_[depth];
                if (!sameText(child->name, comp)) firstCaseDifference_ = std::min(firstCaseDifference_, depth);
            } else {
                size_t pos = 0;
                SubkeyIndex* index = nullptr;
                child = findSubkey(k, comp, &pos, &index);
                if (child) {
                    if (!sameText(child->name, comp)) firstCaseDifference_ = std::min(firstCaseDifference_, depth);
                } else {
                    // A header Wine refuses makes no key at all, not even the parents before its
                    // bad component: the rest is checked before the first key is made.
                    if (!restChecked && !goodComponents(path.substr(j, endp - j))) return nullptr;
                    restChecked = true;
                    child = addSubkey(k, comp, pos, index);
                }
                chain_.resize(depth);
                chain_.push_back(child);
            }
            k = child;
            ++depth;
            i = j + 1;
        }
        chain_.resize(depth);
        return k;
    }

    // Whether every component of "\\"-led rest (empty, or starting with a separator) is one Wine takes.
    static bool goodComponents(std::u16string_view rest) {
        size_t start = 1;
        for (size_t j = 1; j <= rest.size(); ++j) {
            if (j < rest.size() && rest[j] != u'\\') continue;
            if (j == start || j - start > kMaxKeyNameLength) return false;
            start = j + 1;
        }
        return true;
    }

    // The subkey of k named comp, or null with *pos where it would stand. Keys of a sorted file
    // come in order and are added at the end; a key that would go in between is added at the end
    // too, its parent's subkeys indexed (*index) from then on and sorted once when the file is read
    // (sortSubkeys): inserting each in its place would move all the later ones.
    RegKey* findSubkey(RegKey* k, std::u16string_view comp, size_t* pos, SubkeyIndex** index) {
        if (!unsorted_.empty()) {
            auto it = unsorted_.find(k);
            if (it != unsorted_.end()) {
                *index = &it->second;
                auto found = it->second.find(comp);
                return found != it->second.end() ? found->second : nullptr;
            }
        }
        bool found;
        *pos = k->subkeyPosition(comp, &found);
        return found ? k->subkeys[*pos].get() : nullptr;
    }

    RegKey* addSubkey(RegKey* k, std::u16string_view comp, size_t pos, SubkeyIndex* index) {
        if (!index && pos != k->subkeys.size()) {
            index = &unsorted_[k];
            for (const auto& sub : k->subkeys) index->emplace_hint(index->end(), sub->name, sub.get());
        }
        auto nk = std::make_unique<RegKey>();
        nk->name.assign(comp);
        nk->parent = k;
        nk->modif = k->modif;
        RegKey* child = nk.get();
        k->subkeys.push_back(std::move(nk));
        if (index) index->emplace(child->name, child);
        return child;
    }

    void sortSubkeys() {
        for (auto& [key, index] : unsorted_) {
            std::sort(key->subkeys.begin(), key->subkeys.end(),
                      [](const auto& a, const auto& b) { return compareNames(a->name, b->name) < 0; });
        }
        unsorted_.clear();
    }

    bool globalOption(const char* s, const char* le, size_t lineNo, std::string* error) {
        std::string_view opt(s, static_cast<size_t>(le - s));
        if (opt.substr(0, 6) == "#arch=") {
            std::string_view arch = opt.substr(6);
            while (!arch.empty() && isSpace(arch.back())) arch.remove_suffix(1);
            if (arch != "win32" && arch != "win64") {
                *error = name_ + ":" + std::to_string(lineNo) + ": unknown architecture \"" + std::string(arch) +
                         "\" (Wine refuses such a file)";
                return false;
            }
        }
        return true;
    }

    void keyOption(const char* p, const char* s, const char* le, const char* next, size_t lineNo) {
        if (startsWith(s, le, "#time=")) {
            uint64_t v = 0;
            for (const char* q = s + 6; q < le && hexValue(*q) >= 0; ++q) v = (v << 4) | static_cast<unsigned>(hexValue(*q));
            current_->modif = v;
        } else if (startsWith(s, le, "#class=\"")) {
            std::u16string cls;
            if (parseString(s + 8, le, '"', cls)) {
                current_->cls = std::make_unique<std::u16string>(std::move(cls));
            } else {
                warn(lineNo, "malformed class");
                keep(p, next);
            }
        } else if (std::string_view(s, static_cast<size_t>(le - s)) == "#link") {
            current_->link = true;
        } else {
            keep(p, next);  // Wine ignores options it does not know; so do we, but we keep them
        }
    }

    RegFile& f_;
    const std::string& name_;
    RegKey* current_ = nullptr;   // where values go; null after a key header Wine would not accept
    RegKey* holder_ = nullptr;    // where unusable lines are kept
    RegKey* rawOwner_ = nullptr;  // the key whose text runs up to the next header
    bool sawKeyLine_ = false;
    bool caseDiffers_ = false;             // the last header spelled a known key in another case
    size_t firstCaseDifference_ = SIZE_MAX;      // depth of the first such component
    size_t prevFirstCaseDifference_ = SIZE_MAX;  // the same for the previous header
    std::string_view prevRaw_;                   // the previous header's escaped path
    std::vector<size_t> prevSeparators_;         // where its escaped separators stand
    std::u16string path_;
    const char* lastGoodValue_ = nullptr;  // the last value line of the current key that reads well
    const char* lastGoodValueEnd_ = nullptr;
    const char* afterNameOf_ = nullptr;    // the value line whose name afterName_ holds
    std::u16string afterName_;
    std::vector<RegKey*> chain_;
    std::u16string text_;
    std::unordered_map<RegKey*, SubkeyIndex> unsorted_;  // keys whose subkeys came out of order
};

namespace {
thread_local HeaderOnlyReading* g_headerOnly = nullptr;
}  // namespace

HeaderOnlyReading::HeaderOnlyReading() : failed_(std::make_shared<std::atomic<bool>>(false)), outer_(g_headerOnly) {
    g_headerOnly = this;
}
HeaderOnlyReading::~HeaderOnlyReading() { g_headerOnly = outer_; }
HeaderOnlyReading* HeaderOnlyReading::current() { return g_headerOnly; }

std::unique_ptr<RegFile> RegFile::parse(std::string content, const std::string& name, std::string* error) {
    std::unique_ptr<RegFile> f(new RegFile);
    if (content.size() >= UINT32_MAX) {
        *error = name + ": file too large";
        return nullptr;
    }
    f->source_ = std::move(content);
    f->root_ = std::make_unique<RegKey>();
    f->root_->modif = now();
    HeaderOnlyReading* const quick = HeaderOnlyReading::current();
    if (auto index = indexKeyHeaders(f->source_, quick != nullptr)) {
        if (index->linesUnchecked) index->failed = quick->failed();
        const uint32_t preambleEnd = index->headers.empty() ? index->tail : index->headers[0].lead;
        f->preamble_.assign(f->source_, 0, preambleEnd);
        f->trailer_.assign(f->source_, index->tail, std::string::npos);
        f->root_->subkeys.setLazy(index.get(), 0, static_cast<uint32_t>(index->headers.size()), 0, 0,
                                   f->root_->modif);
        f->index_ = std::move(index);
        return f;
    }
    WineParser parser(*f, name);
    if (!parser.run(error)) return nullptr;
    return f;
}


}  // namespace qv::reg
