// CParse: streams a template piece by piece (never loaded whole), expands tokens into the
// shared line buffer and hands each piece to the output. Repeat blocks are held as one copy.
#include "template/cparse.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

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
size_t ReadPiece(FILE *file, char *piece) {
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
    for (size_t i = 0; i + 3 <= count; ++i)
        if (text[i] == '#' && text[i + 1] == '#' && text[i + 2] == '#') return i;
    return kNoMarker;
}

// A NUL byte cannot travel in a text, so it is left out of the page. Offsets into the file are
// taken before this, so a stray NUL never shifts where reading resumes.
void DropNul(char *text, size_t count) {
    size_t kept = 0;
    for (size_t i = 0; i < count; ++i)
        if (text[i] != '\0') text[kept++] = text[i];
    text[kept] = '\0';
}

// A path that does not fit is not opened: a cut path could name some other file.
bool JoinPath(char *path, const char *first, const char *second, const char *third,
              const char *fourth) {
    int length = std::snprintf(path, kPathSize, "%s%s%s%s", first, second, third, fourth);
    return length >= 0 && static_cast<size_t>(length) < kPathSize;
}

FILE *OpenScript(char *path, const char *first, const char *second, const char *third,
                 const char *fourth) {
    if (!JoinPath(path, first, second, third, fourth)) return nullptr;
    return OpenModuleFile(path, "rb");
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
      file(nullptr),
      state(Closed),
      firstTable(table),
      secondTable(nullptr),
      repeatBlock(nullptr),
      resumeOffset(0),
      output(output_callback) {
    const char *name = fileName != nullptr ? fileName : "";
    char path[kPathSize] = "";
    if (directory != nullptr && subdirectory != nullptr) {
        // The subdirectory usually comes from the request ("SID"): one that could leave the
        // template directory is not used, and the shared template is shown instead.
        if (IsSafePathPart(subdirectory))
            file = OpenScript(path, directory, subdirectory, "\\", name);
        if (file == nullptr) file = OpenScript(path, directory, "", "", name);
    } else if (directory != nullptr) {
        file = OpenScript(path, directory, "", "", name);
    } else {
        file = OpenScript(path, name, "", "", "");
    }

    if (file != nullptr) {
        state = Reading;
    } else if (output != nullptr) {
        output("Unable to open script: ");
        output(path);
    }
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
        std::fseek(file, resumeOffset, SEEK_SET);
    }

    for (;;) {
        long start = std::ftell(file);
        if (start < 0) return;
        size_t count = ReadPiece(file, pieceBuffer);
        if (count == 0) return;

        size_t marker = FindMarker(pieceBuffer, count);
        if (marker != kNoMarker) {
            // The text in front of the marker ends the piece; the block runs from behind the
            // marker to the next "###" within the window, read straight from the file.
            long block_start = start + static_cast<long>(marker) + 3;
            count = marker;
            size_t got = 0;
            if (std::fseek(file, block_start, SEEK_SET) == 0)
                got = std::fread(blockBuffer, 1, kBlockSize - 1, file);
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
            DropNul(block, close);
            std::free(repeatBlock);
            repeatBlock = block;
            resumeOffset = static_cast<int32_t>(resume);
            state = AtRepeat;
        }

        DropNul(pieceBuffer, count);
        Emit(pieceBuffer);
        if (state == AtRepeat) return;
    }
}

void CParse::Repeat() {
    if (repeatBlock != nullptr) Emit(repeatBlock);
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
    Expand(source, sink);
    std::free(source);
}

const char *CParse::Lookup(const char *name) const {
    const char *value = firstTable != nullptr ? firstTable->Get(name) : nullptr;
    if (value == nullptr && secondTable != nullptr) value = secondTable->Get(name);
    return value;
}

// Copies source to the sink with its tokens replaced. Source is writable only so that a name
// can be terminated in place for the look-up; it is restored at once. Replacement texts are
// never scanned again, so a value may hold '_', "###" or what looks like a token.
void CParse::Expand(char *source, Sink &sink) const {
    if (firstTable == nullptr && secondTable == nullptr) {
        sink.Put(source, std::strlen(source));
        return;
    }
    char *pending = source; // start of the text not yet put
    char *open = std::strchr(source, '_');
    while (open != nullptr) {
        char *close = std::strchr(open + 1, '_');
        if (close == nullptr) break;
        if (close == open + 1) {
            sink.Put(pending, static_cast<size_t>(open - pending));
            sink.Put("_", 1);
            pending = close + 1;
            open = std::strchr(pending, '_');
            continue;
        }
        *close = '\0';
        const char *value = Lookup(open + 1);
        *close = '_';
        if (value == nullptr) {
            // An unknown token stays as written; its closing '_' may open the next one.
            open = close;
            continue;
        }
        sink.Put(pending, static_cast<size_t>(open - pending));
        sink.Put(value, std::strlen(value));
        pending = close + 1;
        open = std::strchr(pending, '_');
    }
    sink.Put(pending, std::strlen(pending));
}

// Expands source into the line buffer and passes it on as one piece; a piece that grows past
// the line buffer goes out in several.
void CParse::Emit(char *source) {
    Sink sink{lineBuffer, kLineSize, 0, output, false};
    lineBuffer[0] = '\0';
    Expand(source, sink);
    if (output != nullptr && (sink.length > 0 || !sink.flushed)) output(lineBuffer);
}

void RunScript(const char *file_name, STable *table, const char *directory,
               ScriptOutput output) {
    CParse parse(file_name, table, directory, output);
    parse.Parse();
}
