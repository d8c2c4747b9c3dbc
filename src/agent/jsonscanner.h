#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Follows the JSON grammar byte by byte so that completeness is known without parsing the
// whole text again for every piece. It is as lenient as QJsonDocument where that parser is
// lenient (escapes, number forms, string contents) and strict where a byte can never be part
// of a document; the final word on a closed value is the parser's.
//
// It also finds member names that an object repeats: Qt 5.15's QJsonDocument::fromJson leaks
// the earlier value of a repeated name when that value is an array or object (with all it
// holds), and request texts come from any client. Names compare as the parser compares them:
// escapes decoded, a lone surrogate kept apart. Raw bytes are compared as they are, so a text
// that is not valid UTF-8 has to be judged again in the form the parser sees (U+FFFD).
class JsonScanner
{
public:
    // The deepest nesting of objects and arrays QJsonDocument accepts; one level more is
    // refused here, before the text grows any further.
    static constexpr std::size_t kMaxDepth = 1024;

    enum class Status {
        Open,   // a valid prefix: more text may complete it
        Closed, // the top-level object or array has closed; only white space followed
        Broken  // no continuation can make this one document
    };

    // Consumes the bytes; once Broken, further bytes are ignored.
    Status feed(const char *data, std::size_t size);
    Status status() const;
    // Some object closed so far named a member twice. It stays set until reset().
    bool hasRepeatedName() const { return m_bRepeatedName; }
    void reset();

private:
    enum class State : unsigned char {
        Begin,       // nothing but white space yet; a byte order mark may open the text
        Bom1,        // after 0xEF at the very start
        Bom2,        // after 0xEF 0xBB
        BeforeTop,   // white space, then '{' or '['
        ValueOrEnd,  // just after '['
        Value,       // after ',' in an array or ':' in an object
        KeyOrEnd,    // just after '{'
        Key,         // after ',' in an object
        Colon,       // after a member name
        AfterValue,  // ',' or the closer of the innermost container
        InString,
        InEscape,
        InNumber,
        InLiteral,
        Done,
        Broken
    };

    // A member name in m_names.
    struct Name {
        std::size_t offset;
        std::size_t length;
    };
    // Where an open object's names begin, in m_nameList and in m_names.
    struct OpenObject {
        std::size_t firstName;
        std::size_t namesSize;
    };

    bool step(unsigned char byte);
    bool startValue(unsigned char byte);
    bool closeContainer(unsigned char closer);
    bool collectingNames() const { return m_bKey && !m_bRepeatedName; }
    void endName();
    void checkNames();

    State m_state = State::Begin;
    bool m_bKey = false;             // the string being read is a member name
    const char *m_literal = nullptr; // rest of "true", "false" or "null" still expected
    std::string m_nesting;           // '{' or '[' per open container, innermost last

    // The names of every open object, innermost last; an object's go when it closes. Not
    // collected once a repeat is found: the text will be refused whatever follows.
    std::string m_names;             // name texts back to back, escapes decoded at their end
    std::vector<Name> m_nameList;
    std::vector<OpenObject> m_objects;
    std::size_t m_nameStart = 0;     // where the name being read begins in m_names
    bool m_bNameEscaped = false;     // it holds a backslash
    bool m_bRepeatedName = false;
};
