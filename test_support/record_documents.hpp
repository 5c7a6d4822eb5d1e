// Documents built to break a walk that cuts records into slices: records of
// every shape (pretty records, strings holding a line feed and "{" where a
// slice may begin in the middle of a record, several records on one line,
// scalars), elements whose opening deeper objects repeat, paths that keep
// appearing late (for a path cap reached inside a slice), and syntax errors
// late in the document.
#pragma once

#include <string>
#include <vector>

namespace test_support {

struct RecordDocument {
    std::string text;
    bool lines;  // JSON Lines; otherwise one array
};

inline std::vector<RecordDocument> record_documents() {
    unsigned seed = 3;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    std::string doc;
    std::vector<std::string> elements;
    for (int r = 0; r < 120; ++r) {
        std::string e;
        switch (next() % 8) {
            case 0: e = "{\n\"id\": " + std::to_string(r) + ",\n\"tag\": \"Xa\"\n}"; break;
            case 1: e = "{\"s\":\"line\n{\\\"x\\\":1}\",\"k\":[1,\"xb\",{\"x\":null}]}"; break;
            case 2: e = std::to_string(r) + " \"x" + std::to_string(r) + "\" true"; break;
            case 3: e = "\n  \n[\"ax\", {\"deep\": {\"x\": \"Y\"}}]"; break;
            default:
                e = "{\"id\":" + std::to_string(r) + ",\"name\":\"n" + std::to_string(next() % 50) +
                    "\",\"x\":{\"v\":\"" + std::string(next() % 90, 'q') + "\"}}";
        }
        doc += e + "\n";
        elements.push_back(e.find(" true") != std::string::npos ? "\"x" + std::to_string(r) + "\"" : e);
    }
    std::string broken = doc;
    broken.insert(broken.size() * 4 / 5, "{\"a\":,}\n");
    // Nearly every line starts inside a string.
    std::string trap;
    for (int r = 0; r < 60; ++r) trap += "{\"s\":\"\n{\\\"x\\\": 1}\n[\\\"x\\\"\n{\",\"x\":\"y\"}\n";
    // One array: minified, pretty, with deeper objects opening as its
    // elements do, and with faults after most of it.
    elements.insert(elements.begin(), "{\"id\":-1,\"x\":\"first\"}");  // the elements' usual opening
    auto join = [&](const std::string& sep) {
        std::string a = "[";
        for (std::size_t k = 0; k < elements.size(); ++k) a += (k ? sep : "") + elements[k];
        return a + "]";
    };
    const std::string array = join(",");
    const std::string pretty = "\n" + join(",\n  ") + "\n";
    std::string nested = "[";
    for (int r = 0; r < 150; ++r)
        nested +=
            std::string(r ? "," : "") + "{\"id\":" + std::to_string(r) + ",\"x\":[{\"id\":1,\"x\":2},{\"id\":3}]}";
    nested += "]";
    // New paths all along, repeated ones between them, and values that make
    // more than three distinct examples.
    std::string wide = "[";
    for (int r = 0; r < 200; ++r)
        wide += std::string(r ? "," : "") + "{\"id\":" + std::to_string(r % 7) + ",\"k" + std::to_string(r % 41) +
                "\":{\"v" + std::to_string(r % 13) + "\":[" + std::to_string(r % 5) + ",\"e" + std::to_string(r % 9) +
                "\"]}}";
    wide += "]";
    const std::size_t late = array.rfind(",", array.size() * 4 / 5);
    std::string no_comma = array;
    no_comma[late] = ' ';
    std::vector<RecordDocument> docs = {{doc, true}, {broken, true}, {trap, true}};
    for (const std::string& a : {array, pretty, nested, wide, no_comma, array + " x", array + "[]",
                                 array.substr(0, array.size() - 1), array.substr(0, array.size() - 1) + ",]"})
        docs.push_back({a, false});
    return docs;
}

// One array of at least `bytes` bytes, of records of several shapes
// (pretty ones, ones whose opening differs from the first's, long strings),
// for walks whose slices span many pages.
inline std::string large_record_array(std::size_t bytes) {
    std::string a = "[";
    for (unsigned r = 0; a.size() < bytes; ++r) {
        if (r) a += ",";
        const std::string n = std::to_string(r);
        switch (r % 4) {
            case 0: a += "{\"id\":" + n + ",\"x\":\"" + std::string(r % 300, 'q') + "\"}"; break;
            case 1: a += "{\n  \"id\": " + n + ",\n  \"tag\": [1, {\"x\": null}]\n}"; break;
            case 2: a += "{\"s\":\"a,{\\\"id\\\":1}\",\"k" + std::to_string(r % 17) + "\":true}"; break;
            default: a += "{\"id\":" + n + ",\"v\":[" + n + ",{\"w\":\"" + n + "\"}]}";
        }
    }
    return a + "]";
}

// The (threads, bytes per slice) a sliced walk is tried with: small slices
// that cut most records, and a few larger.
inline const std::vector<std::pair<unsigned, std::size_t>> kSliceWays = {{3, 250}, {8, 600}, {2, 3000}};

}  // namespace test_support
