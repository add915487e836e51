// The template engine. A template is HTML with directives in braces:
//
//   {name}            the value of a variable or parameter ({name-3}: with index 2)
//   {?name}           the same, empty when unknown
//   {.path}           the template at that path below the template root, rendered here
//   {#} {#name}       the loop index plus 1; the loop count of a name
//   {$_} {$_+1} {$_2} the loop index; plus a number; with 2 digits
//   {-name}           the label of the option that the loop index names
//   {YESname} {NOname} {YESXname} {NOXname}   1/0 or checked="checked" for on/off
//   {[count ... }     the text up to the matching brace, count times ({[3+1...}: from 1)
//   {name? then | else}     a condition: the value is not empty
//   {name=text? then | else} {name!text?..} {name<n?..} {name>n?..} {name%n?..} {name&n?..}
//   {~? odd | even}   the loop index is odd
//   ML("text")  Ml("text")    the translation, quoted or not
//
// A brace followed by white space is copied (style sheets), and inside script elements
// opened as "<script " nothing is a directive. Every write is checked against the page
// buffer; a page that does not fit ends with an overrun note.
#pragma once

#include <climits>
#include <cstddef>
#include <string>

class HttpConnection;

class TemplateReader {
public:
    static constexpr int NoIndex = INT_MIN;

    TemplateReader(HttpConnection &c, const char *text, size_t length);

    // Renders the whole template into out (size bytes, at least 2048); the end limit is
    // 1,024 bytes before the end. Returns the length written.
    int renderPage(char *out, size_t size, bool scriptMode);

private:
    struct Source {
        const char *p;
        size_t n;
        size_t pos;
        int get() { return pos < n ? static_cast<unsigned char>(p[pos++]) : -1; }
        bool startsWith(const char *text) const;
    };
    struct Output {
        char *base;
        size_t size;
        size_t limit;
        size_t len;
        bool overrun;
        void put(char c);
        void put(const char *text, size_t k);
        void put(const std::string &s) { put(s.data(), s.size()); }
    };
    struct Filter {
        int held = 0; // 1 'M', 2 "ML", 3 "Ml"
    };

    // Renders from the source until the stop character (-1: none) or its end; out null
    // skips (counting braces). Returns the bytes written.
    int render(Source &src, Output *out, int index, int stop, bool script, int depth);
    void skip(Source &src, int stop);
    void directive(Source &src, Output &out, int index, bool script, Filter &filter, int depth);
    void feed(Source &src, Output &out, Filter &filter, int c);
    void release(Output &out, Filter &filter);
    bool linkFilter(Source &src, Output &out);
    void include(const std::string &path, Output &out, int depth);

    // The value of a directive name: its length, or -1 when the lookup failed.
    int value(const std::string &name, int index, char *buffer, int size);
    int nestedValue(Source &src, char *buffer, int size, bool forComparison, int index);
    int loopCountOf(const std::string &name);

    HttpConnection &c_;
    Source top_;
    bool aborted_ = false;
    int level_ = 4;
    // Loop passes and includes of one page: a page that asks for more is cut off.
    long work_ = 0;
};

// Looks a variable up in a store of name/value records: with index >= 0 the record whose
// name is the name followed by that number, else the record of exactly the name. The
// value or null.
const char *findStoreValue(const char *store, int used, const char *name, int index);
