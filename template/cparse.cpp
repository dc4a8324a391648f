// CParse: reads a template piece by piece (from the host's memory of the root, or the file),
// expands tokens into the shared line buffer and hands each piece to the output. Repeat blocks
// are held as one copy.
#include "template/cparse.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "shell/filecache.h"
#include "shell/numbers.h"
#include "shell/paths.h"
#include "template/stable.h"

namespace {

constexpr size_t kLineSize = 2560;  // expanded text of one piece or one repeat block
constexpr size_t kBlockSize = 4096; // window in which a block's closing marker must lie
constexpr size_t kPieceBytes = 255; // longest piece read from a line; longer lines split
constexpr size_t kPathSize = 256;
constexpr size_t kNoMarker = static_cast<size_t>(-1);

// Shared by every processor; see the note on reentrancy in the header.
char lineBuffer[kLineSize];
char blockBuffer[kBlockSize];
char pieceBuffer[kPieceBytes + 1];

// The rest of the current line, its '\n' included, at most kPieceBytes bytes. Zero at end of
// file; a read error counts as the end.
size_t ReadFilePiece(FILE *file, char *piece) {
    size_t count = 0;
    while (count < kPieceBytes) {
        int c = getc_unlocked(file);  // one thread reads a template
        if (c == EOF) break;
        piece[count++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    return count;
}

size_t FindMarker(const char *text, size_t count) {
    const char *end = text + count;
    for (const char *at = text; end - at >= 3;) {
        at = static_cast<const char *>(std::memchr(at, '#', static_cast<size_t>(end - at - 2)));
        if (at == nullptr) break;
        if (at[1] == '#' && at[2] == '#') return static_cast<size_t>(at - text);
        ++at;
    }
    return kNoMarker;
}

// A NUL byte cannot travel in a text, so it is left out of the page. Offsets into the file are
// taken before this, so a stray NUL never shifts where reading resumes.
size_t DropNul(char *text, size_t count) {
    const void *first = std::memchr(text, '\0', count);
    size_t kept = first == nullptr ? count : static_cast<size_t>(static_cast<const char *>(first) - text);
    for (size_t i = kept; i < count; ++i)
        if (text[i] != '\0') text[kept++] = text[i];
    text[kept] = '\0';
    return kept;
}

// A path that does not fit is not opened: a cut path could name some other file.
bool JoinPath(char *path, const char *first, const char *second, const char *third,
              const char *fourth) {
    return JoinTexts(path, kPathSize, {first, second, third, fourth});
}

} // namespace

// Where expanded text goes: a buffer of size bytes. When it fills up and flush is set, the
// text so far is passed on and the buffer starts over, so nothing is lost however long the
// values are; without flush the text is cut at size - 1 bytes.
struct CParse::Sink {
    char *buffer;
    size_t size;
    size_t length;
    ScriptOutput flush;
    bool flushed;

    void Put(const char *text, size_t count) {
        while (count > 0) {
            size_t room = size - 1 - length;
            if (room == 0) {
                if (flush == nullptr) break;
                flush(buffer);
                length = 0;
                flushed = true;
                continue;
            }
            size_t taken = count < room ? count : room;
            std::memcpy(buffer + length, text, taken);
            length += taken;
            buffer[length] = '\0';
            text += taken;
            count -= taken;
        }
    }
};

CParse::CParse(const char *file_name, STable *table, const char *directory_name,
               ScriptOutput output_callback, const char *subdirectory)
    : fileName(file_name),
      directory(directory_name),
      position(0),
      direct(false),
      markerFrom(SIZE_MAX),  // nothing looked for yet
      markerAt(std::string::npos),
      file(nullptr),
      state(Closed),
      firstTable(table),
      secondTable(nullptr),
      repeatBlock(nullptr),
      repeatLength(0),
      resumeOffset(0),
      output(output_callback) {
    const char *name = fileName != nullptr ? fileName : "";
    char path[kPathSize] = "";
    if (directory != nullptr && subdirectory != nullptr) {
        // The subdirectory usually comes from the request ("SID"): one that could leave the
        // template directory is not used, and the shared template is shown instead.
        bool opened = IsSafePathPart(subdirectory) &&
                      JoinPath(path, directory, subdirectory, "\\", name) && Open(path);
        if (!opened && JoinPath(path, directory, "", "", name)) Open(path);
    } else if (directory != nullptr) {
        if (JoinPath(path, directory, "", "", name)) Open(path);
    } else {
        if (JoinPath(path, name, "", "", "")) Open(path);
    }

    if (state == Closed && output != nullptr) {
        output("Unable to open script: ");
        output(path);
    }
}

// Takes the template's bytes from the host's memory of the root when it has them, else opens
// the file; Reading when either worked.
bool CParse::Open(const char *path) {
    int cached = CachedBytes(path, &bytes);
    if (cached < 0) file = OpenModuleFile(path, "rb");
    if (cached > 0 || file != nullptr) state = Reading;
    direct = cached > 0 && std::memchr(bytes->data(), '\0', bytes->size()) == nullptr;
    return state == Reading;
}

long CParse::Tell() const {
    return file != nullptr ? std::ftell(file) : static_cast<long>(position);
}

// The length of the piece at position in memory: the rest of its line, its '\n' included, at
// most kPieceBytes bytes; zero at the end.
size_t CParse::PieceLength() const {
    const std::string &text = *bytes;
    if (position >= text.size()) return 0;
    size_t count = text.size() - position;
    if (count > kPieceBytes) count = kPieceBytes;
    const char *start = text.data() + position;
    if (const void *newline = std::memchr(start, '\n', count))
        count = static_cast<size_t>(static_cast<const char *>(newline) - start) + 1;
    return count;
}

size_t CParse::ReadPiece(char *piece) {
    if (file != nullptr) return ReadFilePiece(file, piece);
    size_t count = PieceLength();
    std::memcpy(piece, bytes->data() + position, count);
    position += count;
    return count;
}

// Where the first "###" lying wholly in count bytes from start is, as FindMarker would find it
// in a copy of them: the next marker of the whole template is looked for once, not per piece.
size_t CParse::MarkerIn(size_t start, size_t count) {
    if (start < markerFrom || markerAt < start) {
        markerAt = std::string_view(*bytes).find("###", start);
        markerFrom = start;
    }
    if (markerAt == std::string::npos || markerAt + 3 > start + count) return kNoMarker;
    return markerAt - start;
}

// Up to size bytes from offset on; reading goes on from behind them.
size_t CParse::ReadAt(long offset, char *buffer, size_t size) {
    if (file != nullptr)
        return std::fseek(file, offset, SEEK_SET) == 0 ? std::fread(buffer, 1, size, file) : 0;
    const std::string &text = *bytes;
    size_t at = offset < 0 ? text.size() : static_cast<size_t>(offset);
    size_t count = at < text.size() ? text.size() - at : 0;
    if (count > size) count = size;
    std::memcpy(buffer, text.data() + (at < text.size() ? at : text.size()), count);
    position = at + count;
    return count;
}

CParse::~CParse() {
    if (file != nullptr) std::fclose(file);
    std::free(repeatBlock);
}

void CParse::SetTables(STable *first, STable *second) {
    firstTable = first;
    secondTable = second;
}

void CParse::SetOutput(ScriptOutput callback) { output = callback; }

void CParse::Parse() {
    if (state == Closed || state == Stopped) return;
    if (state == AtRepeat) {
        state = Reading;
        if (file != nullptr)
            std::fseek(file, resumeOffset, SEEK_SET);
        else
            position = static_cast<size_t>(resumeOffset);
    }

    for (;;) {
        long start = Tell();
        if (start < 0) return;
        const char *piece = pieceBuffer;
        size_t count, marker;
        if (direct) {
            count = PieceLength();
            if (count == 0) return;
            piece = bytes->data() + position;
            position += count;
            marker = MarkerIn(static_cast<size_t>(start), count);
        } else {
            count = ReadPiece(pieceBuffer);
            if (count == 0) return;
            marker = FindMarker(pieceBuffer, count);
        }
        if (marker != kNoMarker) {
            // The text in front of the marker ends the piece; the block runs from behind the
            // marker to the next "###" within the window, read straight from the template.
            long block_start = start + static_cast<long>(marker) + 3;
            count = marker;
            size_t got = ReadAt(block_start, blockBuffer, kBlockSize - 1);
            size_t close = FindMarker(blockBuffer, got);
            if (close == kNoMarker) {
                state = Stopped;
                return;
            }
            long resume = block_start + static_cast<long>(close) + 3;
            if (resume > INT32_MAX) {
                state = Stopped;
                return;
            }
            char *block = static_cast<char *>(std::malloc(close + 1));
            if (block == nullptr) std::abort();
            std::memcpy(block, blockBuffer, close);
            std::free(repeatBlock);
            repeatLength = DropNul(block, close);
            repeatBlock = block;
            resumeOffset = static_cast<int32_t>(resume);
            state = AtRepeat;
        }

        if (!direct) count = DropNul(pieceBuffer, count);
        Emit(piece, count);
        if (state == AtRepeat) return;
    }
}

void CParse::Repeat() {
    if (repeatBlock != nullptr) Emit(repeatBlock, repeatLength);
}

void CParse::Substitute(char *text, size_t size) {
    if (text == nullptr || size == 0) return;
    // Expansion reads the original while writing the result over it, so it reads a copy.
    size_t length = std::strlen(text);
    char *source = static_cast<char *>(std::malloc(length + 1));
    if (source == nullptr) std::abort();
    std::memcpy(source, text, length + 1);
    Sink sink{text, size, 0, nullptr, false};
    text[0] = '\0';
    Expand(source, length, sink);
    std::free(source);
}

// Copies length bytes of source to the sink with its tokens replaced. Replacement texts are
// never scanned again, so a value may hold '_', "###" or what looks like a token.
void CParse::Expand(const char *source, size_t length, Sink &sink) const {
    const char *end = source + length;
    if (firstTable == nullptr && secondTable == nullptr) {
        sink.Put(source, length);
        return;
    }
    auto next = [end](const char *from) {
        return static_cast<const char *>(std::memchr(from, '_', static_cast<size_t>(end - from)));
    };
    const char *pending = source; // start of the text not yet put
    const char *open = next(source);
    while (open != nullptr) {
        const char *close = next(open + 1);
        if (close == nullptr) break;
        if (close == open + 1) {
            sink.Put(pending, static_cast<size_t>(open - pending));
            sink.Put("_", 1);
            pending = close + 1;
            open = next(pending);
            continue;
        }
        size_t value_length = 0;
        const char *value = STable::GetEither(firstTable, secondTable, open + 1,
                                              static_cast<size_t>(close - open - 1), &value_length);
        if (value == nullptr) {
            // An unknown token stays as written; its closing '_' may open the next one.
            open = close;
            continue;
        }
        sink.Put(pending, static_cast<size_t>(open - pending));
        sink.Put(value, value_length);
        pending = close + 1;
        open = next(pending);
    }
    sink.Put(pending, static_cast<size_t>(end - pending));
}

// Expands source into the line buffer and passes it on as one piece; a piece that grows past
// the line buffer goes out in several.
void CParse::Emit(const char *source, size_t length) {
    Sink sink{lineBuffer, kLineSize, 0, output, false};
    lineBuffer[0] = '\0';
    Expand(source, length, sink);
    if (output != nullptr && (sink.length > 0 || !sink.flushed)) output(lineBuffer);
}

void RunScript(const char *file_name, STable *table, const char *directory,
               ScriptOutput output) {
    CParse parse(file_name, table, directory, output);
    parse.Parse();
}
