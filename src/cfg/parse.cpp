// The INI line parser, the file parse and the store procedure that builds a file node.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cfg/cfg_internal.h"
#include "fileops/line_cut.h"
#include "init/kova_log.h"
#include "kova/kova_lock.h"
#include "mem/alloc.h"

KOVA_LOG_SOURCE("cfg/kova_cfg")

using kova::log::kDebug;
using kova::log::kError;

namespace kova::cfg {

void list_init(kova_list_head_s *head) { head->next = head->prev = head; }

void list_add_tail(kova_list_head_s *node, kova_list_head_s *head)
{
    node->prev = head->prev;
    node->next = head;
    head->prev->next = node;
    head->prev = node;
}

void list_add_head(kova_list_head_s *node, kova_list_head_s *head) { list_add_tail(node, head->next); }

void list_del(kova_list_head_s *node)
{
    node->prev->next = node->next;
    node->next->prev = node->prev;
    node->next = KOVA_LIST_POISON_NEXT;
    node->prev = KOVA_LIST_POISON_PREV;
}

namespace {

constexpr int32_t kLineSize = KOVA_CFG_LINE_SIZE;
constexpr std::size_t kLineLimit = kLineSize - 1;    // a trimmed line this long is skipped
constexpr std::size_t kHeaderMax = KOVA_CFG_NAME_SIZE + 1;
constexpr std::size_t kReadChunk = 64 * 1024;

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_trailing(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_name_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// [begin, end) without leading blanks and trailing blanks, LF and CR.
void trim(const char *&begin, const char *&end)
{
    while (begin < end && is_blank(*begin)) ++begin;
    while (end > begin && is_trailing(end[-1])) --end;
}

bool all_name_chars(const char *begin, const char *end)
{
    for (const char *p = begin; p < end; ++p)
        if (!is_name_char(*p)) return false;
    return true;
}

// Lines exactly as kova_readline cuts them, read in large chunks: a byte-wise read(2) per
// character would dominate the parse.
class LineReader {
public:
    LineReader(int fd, char *chunk) : fd_(fd), chunk_(chunk) {}

    char *next(char *buf, int32_t size)
    {
        return kova::fileops::cut_line(buf, size, [this](char &c) {
            if (pos_ == end_ && !fill()) return false;
            c = chunk_[pos_++];
            return true;
        });
    }
    bool failed() const { return failed_; }

private:
    bool fill()
    {
        ssize_t got;
        do {
            got = read(fd_, chunk_, kReadChunk);
        } while (got < 0 && errno == EINTR);
        failed_ = got < 0;
        pos_ = 0;
        end_ = got > 0 ? static_cast<std::size_t>(got) : 0;
        return got > 0;
    }

    int fd_;
    char *chunk_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool failed_ = false;
};

// The section name of a header line, or false when the line is not one.
bool section_header(const char *line, std::size_t length, char (&name)[KOVA_CFG_NAME_SIZE])
{
    if (length > kHeaderMax || length < 2 || line[0] != '[' || line[length - 1] != ']') return false;
    const char *begin = line + 1, *end = line + length - 1;
    trim(begin, end);
    if (!all_name_chars(begin, end)) return false;
    std::memcpy(name, begin, static_cast<std::size_t>(end - begin));
    name[end - begin] = '\0';
    return true;
}

struct Buffers {
    Buffers()
        : line(static_cast<char *>(KOVA_ALLOC(kLineSize))),
          value(static_cast<char *>(KOVA_ALLOC(static_cast<int32_t>(kValueBufferSize)))),
          chunk(static_cast<char *>(KOVA_ALLOC(static_cast<int32_t>(kReadChunk))))
    {
    }
    Buffers(const Buffers &) = delete;
    Buffers &operator=(const Buffers &) = delete;
    char *line;
    char *value;
    char *chunk;
    ~Buffers()
    {
        for (char *p : {line, value, chunk})
            if (p != nullptr) KOVA_FREE(p);
    }
};

}  // namespace

int parse_lines(int fd, kova_cfg_file_node_s *context, ItemProc proc, void *arg)
{
    Buffers buffers;
    if (buffers.line == nullptr || buffers.value == nullptr || buffers.chunk == nullptr) {
        KOVA_LOG(kError, "Alloc memory fail, size(%u).",
                 buffers.line == nullptr ? unsigned{kLineSize} : static_cast<unsigned>(kValueBufferSize));
        return -1;
    }
    char section[KOVA_CFG_NAME_SIZE] = "NULL";
    kova_cfg_item_node_s item{};
    list_init(&item.list);
    item.value = buffers.value;
    LineReader reader(fd, buffers.chunk);
    char *line = buffers.line;
    while (reader.next(line, kLineSize) != nullptr) {
        std::size_t length = std::strlen(line);
        while (length > 0 && is_trailing(line[length - 1])) --length;
        line[length] = '\0';
        std::size_t first = 0;
        while (first < length && is_blank(line[first])) ++first;
        if (length - first >= kLineLimit) {
            KOVA_LOG(kDebug, "The length (%d) of string (%s) is larger than limit (%d) when trim format of string.",
                     static_cast<int>(length - first), line, static_cast<int>(kLineLimit - 1));
            continue;
        }
        if (line[0] == '[') {
            if (section_header(line, length, section)) continue;
            KOVA_LOG(kDebug, "The input string (%s) is not a section string.", line);
        }
        if (line[0] == ';' || line[0] == '=') continue;
        const char *equals = static_cast<const char *>(std::memchr(line, '=', length));
        if (equals == nullptr) continue;
        const char *key = line, *key_end = equals, *value = equals + 1, *value_end = line + length;
        trim(key, key_end);
        trim(value, value_end);
        auto key_length = static_cast<std::size_t>(key_end - key);
        if (key_length >= KOVA_CFG_NAME_SIZE) continue;
        if (key_length == 0 || !all_name_chars(key, key_end)) {
            KOVA_LOG(kDebug, "The input string (%s) is not a valid config item.", line);
            continue;
        }
        auto value_length = static_cast<std::size_t>(value_end - value);
        if (value_length > KOVA_CFG_VALUE_MAX) {
            line[key_length + static_cast<std::size_t>(key - line)] = '\0';
            KOVA_LOG(kError, "copy item (%s=%s) fail in parse item.", key, value);
            continue;
        }
        std::memcpy(item.name, key, key_length);
        item.name[key_length] = '\0';
        std::memcpy(item.value, value, value_length);
        item.value[value_length] = '\0';
        int result = proc(context, section, &item, arg);
        if (result != 1) return result;
    }
    if (reader.failed()) {
        KOVA_LOG(kError, "Read config file failed, errno %d.", errno);
        return -1;
    }
    return 0;
}

kova_cfg_file_node_s *new_file_node(const char *path)
{
    auto *node = static_cast<kova_cfg_file_node_s *>(KOVA_ALLOC(sizeof(kova_cfg_file_node_s)));
    if (node == nullptr) {
        KOVA_LOG_AS("parse_file", kError, "Alloc needed filenode memory fail, filenode size (%u).",
                    static_cast<unsigned>(sizeof(kova_cfg_file_node_s)));
        return nullptr;
    }
    std::memset(node, 0, sizeof *node);
    list_init(&node->list);
    list_init(&node->sections);
    std::size_t length = strnlen(path, KOVA_CFG_FILE_NAME_SIZE);
    if (length >= KOVA_CFG_FILE_NAME_SIZE) {
        KOVA_LOG_AS("parse_file", kError, "Copy file name (%s) fail in new filenode.", path);
        KOVA_FREE(node);
        return nullptr;
    }
    std::memcpy(node->name, path, length + 1);
    return node;
}

void free_item(kova_cfg_item_node_s *item)
{
    if (item->value != nullptr) KOVA_FREE(item->value);
    KOVA_FREE(item);
}

void free_section(kova_cfg_section_node_s *section)
{
    KOVA_CFG_FOR_EACH(kova_cfg_item_node_s, item, &section->items) free_item(item);
    KOVA_FREE(section);
}

void free_file_node(kova_cfg_file_node_s *node)
{
    KOVA_CFG_FOR_EACH(kova_cfg_section_node_s, section, &node->sections) free_section(section);
    KOVA_FREE(node);
}

kova_cfg_section_node_s *find_section(kova_cfg_file_node_s *node, const char *name)
{
    KOVA_CFG_FOR_EACH(kova_cfg_section_node_s, section, &node->sections)
        if (std::strcmp(section->name, name) == 0) return section;
    return nullptr;
}

kova_cfg_item_node_s *find_item(kova_cfg_section_node_s *section, const char *name)
{
    KOVA_CFG_FOR_EACH(kova_cfg_item_node_s, item, &section->items)
        if (std::strcmp(item->name, name) == 0) return item;
    return nullptr;
}

kova_cfg_section_node_s *new_section(kova_cfg_file_node_s *node, const char *name)
{
    auto *section = static_cast<kova_cfg_section_node_s *>(KOVA_ALLOC(sizeof(kova_cfg_section_node_s)));
    if (section == nullptr) {
        KOVA_LOG(kError, "Alloc needed section memory fail, section node size (%u).",
                 static_cast<unsigned>(sizeof(kova_cfg_section_node_s)));
        return nullptr;
    }
    std::size_t length = strnlen(name, KOVA_CFG_NAME_SIZE);
    if (length >= KOVA_CFG_NAME_SIZE) {
        KOVA_LOG(kError, "Copy section name (%s) fail in new section node.", name);
        KOVA_FREE(section);
        return nullptr;
    }
    std::memcpy(section->name, name, length + 1);
    list_init(&section->items);
    list_add_tail(&section->list, &node->sections);
    return section;
}

char *copy_value(const char *value, const char *function, const char *alloc_message)
{
    std::size_t length = std::strlen(value);
    char *copy = length < INT32_MAX ? static_cast<char *>(KOVA_ALLOC(static_cast<int32_t>(length + 1))) : nullptr;
    if (copy == nullptr) {
        KOVA_LOG_AS(function, kError, alloc_message, static_cast<unsigned>(length + 1));
        return nullptr;
    }
    std::memcpy(copy, value, length + 1);
    return copy;
}

kova_cfg_file_node_s *parse_file(const char *path, ItemProc proc, void *arg)
{
    if (proc == nullptr) { KOVA_LOG(kError, "Input v_pfnProc null pointer"); return nullptr; }
    if (path == nullptr) { KOVA_LOG(kError, "Filename null pointer"); return nullptr; }
    if (strnlen(path, KOVA_CFG_FILE_NAME_SIZE) >= KOVA_CFG_FILE_NAME_SIZE) {
        KOVA_LOG(kError, "File name length too long.");
        return nullptr;
    }
    kova_cfg_file_node_s *node = new_file_node(path);
    if (node == nullptr) return nullptr;
    kova_rwlock_write_lock_mayblock(&node->lock);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat status {};
    // A directory opens read-only but reads as an error: refuse it as a file that cannot be opened.
    if (fd >= 0 && fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        close(fd);
        fd = -1;
        errno = EISDIR;
    }
    if (fd < 0) {
        KOVA_LOG(kError, "Open file (%s) failed, fd %d errno %d", path, fd, errno);
        kova_rwlock_write_unlock(&node->lock);
        free_file_node(node);
        return nullptr;
    }
    int result = parse_lines(fd, node, proc, arg);
    close(fd);
    kova_rwlock_write_unlock(&node->lock);
    if (result == 0) return node;
    free_file_node(node);
    return nullptr;
}

}  // namespace kova::cfg
