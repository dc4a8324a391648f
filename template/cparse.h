// CParse: turns a page template (a script) into page text, replacing its tokens with the texts
// of one or two STables and passing each finished piece to an output callback (WebOut).
#ifndef TEMPLATE_CPARSE_H
#define TEMPLATE_CPARSE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

class STable;

// Receives one finished piece of page text.
using ScriptOutput = void (*)(const char *text);

// Template text is copied byte for byte except for:
//   _NAME_  replaced by the value of NAME (ASCII case ignored) from the first table, else the
//           second; an unknown name stays as written and its closing '_' may open the next token
//   __      one '_' (when a table is set; with no table the text passes unchanged)
//   ###     opens a repeat block, the next ### closes it (no nesting; at most 4092 bytes apart)
// A page with a list: Parse up to the block, set a row's entries and Repeat per row, Parse for
// the rest (each call uses the values the tables hold at that moment).
//
// All processors share one line buffer and one block buffer, so calls of Parse, Repeat and
// RunScript must not overlap, and the output callback must not render a template itself.
class CParse {
public:
    static constexpr uint32_t Closed = 0;   // no template could be opened
    static constexpr uint32_t Reading = 1;  // reading the template
    static constexpr uint32_t AtRepeat = 2; // a repeat block is held; Parse resumes behind it
    static constexpr uint32_t Stopped = 3;  // a block was never closed; nothing more is emitted

    // Opens directory + subdirectory + "\" + file_name (the store's own copy), else
    // directory + file_name (the shared one); directory ends with its separator ("kvzsvw\").
    // Without a directory the file name alone is opened. A subdirectory that is empty, holds a
    // path separator or ".." is never used, nor is a path of more than 255 characters.
    // When nothing opens, the output receives "Unable to open script: " and the path tried
    // last, and the processor stays Closed.
    CParse(const char *file_name, STable *table, const char *directory, ScriptOutput output,
           const char *subdirectory = nullptr);
    ~CParse();
    CParse(const CParse &) = delete;
    CParse &operator=(const CParse &) = delete;

    void SetTables(STable *first, STable *second);
    void SetOutput(ScriptOutput callback);
    uint32_t State() const { return state; }

    // Emits the template from where it stands up to the next repeat block or the end.
    void Parse();
    // Emits the current repeat block once; nothing when none is held.
    // Both emit one piece per template line or block; a piece that expands past the 2560-byte
    // line buffer is passed on in several parts, never cut.
    void Repeat();
    // Replaces the tokens of text in place; text has size bytes, and a result that does not
    // fit is cut at size - 1 bytes.
    void Substitute(char *text, size_t size);

private:
    struct Sink;
    bool Open(const char *path);
    long Tell() const;
    size_t ReadPiece(char *piece);
    size_t PieceLength() const;
    size_t MarkerIn(size_t start, size_t count);
    size_t ReadAt(long offset, char *buffer, size_t size);
    void Expand(const char *source, size_t length, Sink &sink) const;
    void Emit(const char *source, size_t length);

    const char *fileName;
    const char *directory;
    // The template: its bytes in memory when the host keeps the root's files there, else the
    // open file.
    std::shared_ptr<const std::string> bytes;
    size_t position;
    // Bytes in memory without a NUL are expanded where they lie, not copied piece by piece;
    // the next "###" at or behind markerFrom is markerAt (npos: none).
    bool direct;
    size_t markerFrom;
    size_t markerAt;
    FILE *file;
    uint32_t state;
    STable *firstTable;
    STable *secondTable;
    char *repeatBlock;
    size_t repeatLength;
    int32_t resumeOffset;
    ScriptOutput output;
};

// Renders a template without repeat blocks in one call: a processor without subdirectory, one
// Parse. The page ends at a repeat marker, if the template has one.
void RunScript(const char *file_name, STable *table, const char *directory,
               ScriptOutput output);

#endif // TEMPLATE_CPARSE_H
