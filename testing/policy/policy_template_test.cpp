// The Group Policy template against what the service reads: its key, value name and
// type, and the language file against every string and presentation the template
// names. Built natively; KORVAN_POLICY_DIR is packaging/policy.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "common/names.h"

namespace korvan {
namespace {

const std::string ADMX = std::string(KORVAN_POLICY_DIR) + "/korvan-vpn.admx";
const std::string ADML = std::string(KORVAN_POLICY_DIR) + "/en-US/korvan-vpn.adml";

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The first capture of every match of `pattern` in `text`.
std::set<std::string> captures(const std::string& text, const std::string& pattern) {
    std::set<std::string> found;
    const std::regex expression(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), expression);
         it != std::sregex_iterator(); ++it) {
        found.insert((*it)[1].str());
    }
    return found;
}

// An XML attribute value as written in the file, with &amp; and the like undone is not
// needed here: the keys hold backslashes only.
std::set<std::string> attribute_of(const std::string& text, const std::string& element,
                                   const std::string& attribute) {
    return captures(text, "<" + element + "\\b[^>]*\\s" + attribute + "=\"([^\"]*)\"");
}

TEST(PolicyTemplate, BothFilesAreWellFormedXml) {
    for (const std::string& file : {ADMX, ADML}) {
        SCOPED_TRACE(file);
        EXPECT_EQ(std::system(("xmllint --noout '" + file + "'").c_str()), 0);
    }
}

TEST(PolicyTemplate, WritesTheKeyValueAndTypeTheServiceReads) {
    const std::string admx = read_text(ADMX);
    const std::string key(names::POLICY_KEY_TEXT);
    const std::string value(names::START_ALLOWED_FOR_TEXT);
    EXPECT_EQ(attribute_of(admx, "policy", "key"), std::set<std::string>{key});
    EXPECT_EQ(attribute_of(admx, "policy", "class"), std::set<std::string>{"Machine"});
    // A text element writes REG_SZ unless it is expandable (REG_EXPAND_SZ), which the
    // service would refuse.
    EXPECT_EQ(attribute_of(admx, "text", "valueName"), std::set<std::string>{value});
    EXPECT_TRUE(attribute_of(admx, "text", "expandable").empty());
    // Disabled writes the same value, empty: "no restriction".
    EXPECT_EQ(attribute_of(admx, "item", "key"), std::set<std::string>{key});
    EXPECT_EQ(attribute_of(admx, "item", "valueName"), std::set<std::string>{value});
    EXPECT_NE(admx.find("<string></string>"), std::string::npos);
    // No other element writes anything.
    for (const char* other : {"decimal", "boolean", "enum", "list", "multiText"}) {
        EXPECT_TRUE(captures(admx, std::string("<(") + other + ")\\b").empty()) << other;
    }
}

TEST(PolicyTemplate, TheLanguageFileHasEveryStringAndPresentationTheTemplateNames) {
    const std::string admx = read_text(ADMX);
    const std::string adml = read_text(ADML);
    const std::set<std::string> strings = captures(admx, "\\$\\(string\\.([A-Za-z0-9_]+)\\)");
    ASSERT_FALSE(strings.empty());
    const std::set<std::string> defined = attribute_of(adml, "string", "id");
    for (const std::string& id : strings) {
        EXPECT_TRUE(defined.contains(id)) << id;
    }
    const std::set<std::string> presentations =
        captures(admx, "\\$\\(presentation\\.([A-Za-z0-9_]+)\\)");
    EXPECT_EQ(presentations, attribute_of(adml, "presentation", "id"));
    // The text box shows the template's one text element.
    EXPECT_EQ(attribute_of(adml, "textBox", "refId"), attribute_of(admx, "text", "id"));
}

}  // namespace
}  // namespace korvan
