// The Group Policy template against what the service reads: its key, value name and
// type, and the language file against every string and presentation the template
// names; both files against the ADMX schema, which the Group Policy editor validates a
// template against before it loads it. Built natively; KORVAN_POLICY_DIR is
// packaging/policy, KORVAN_POLICY_SCHEMA the schema written from Microsoft's ADMX schema
// reference (testing/policy/admx.xsd).

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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
const std::string SCHEMA(KORVAN_POLICY_SCHEMA);

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

// xmllint's verdict on a file against the schema: its exit code, and its first line
// without the file's name and line ("{element}: Schemas validity error : {message}",
// or "{file} validates").
struct Verdict {
    int status = -1;
    std::string first_line;
};

Verdict validate(const std::string& file) {
    Verdict verdict;
    FILE* pipe =
        popen(("xmllint --noout --schema '" + SCHEMA + "' '" + file + "' 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return verdict;
    }
    std::string output;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        output.append(buffer, n);
    }
    const int status = pclose(pipe);
    verdict.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::string line = output.substr(0, output.find('\n'));
    // "{file}:{line}: {element}: ..." for an error.
    if (line.starts_with(file + ":")) {
        line.erase(0, file.size() + 1);
        line.erase(0, line.find(' ') + 1);
    }
    verdict.first_line = line;
    return verdict;
}

TEST(PolicyTemplate, BothFilesValidateAgainstTheAdmxSchema) {
    for (const std::string& file : {ADMX, ADML}) {
        SCOPED_TRACE(file);
        const Verdict verdict = validate(file);
        EXPECT_EQ(verdict.status, 0);
        EXPECT_EQ(verdict.first_line, file + " validates");
    }
}

// A copy of a template file with one fault the schema forbids.
struct Fault {
    const char* name;
    const std::string& file;
    std::string (*change)(std::string);
    const char* error;  // xmllint's first error, without the file and line
};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    return at == std::string::npos ? std::string() : text.replace(at, from.size(), to);
}

// Moves the block from `open` to `close` (both included) to just before `before`.
std::string moved(std::string text, const std::string& open, const std::string& close,
                  const std::string& before) {
    const size_t start = text.find(open);
    const size_t end = text.find(close, start);
    if (start == std::string::npos || end == std::string::npos) {
        return {};
    }
    const std::string block = text.substr(start, end + close.size() - start);
    text.erase(start, block.size());
    const size_t at = text.find(before);
    return at == std::string::npos ? std::string() : text.insert(at, block);
}

#define KORVAN_NS "{http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions}"

const Fault FAULTS[] = {
    {"elements before disabledList", ADMX,
     [](std::string t) { return moved(t, "<elements>", "</elements>", "<disabledList>"); },
     "element disabledList: Schemas validity error : Element '" KORVAN_NS
     "disabledList': This element is not expected."},
    {"supportedOn before parentCategory", ADMX,
     [](std::string t) { return moved(t, "<supportedOn ref", "/>", "<parentCategory"); },
     "element supportedOn: Schemas validity error : Element '" KORVAN_NS
     "supportedOn': This element is not expected. Expected is ( " KORVAN_NS "parentCategory )."},
    {"resources before policyNamespaces", ADMX,
     [](std::string t) { return moved(t, "<resources ", "/>", "<policyNamespaces>"); },
     "element resources: Schemas validity error : Element '" KORVAN_NS
     "resources': This element is not expected. Expected is ( " KORVAN_NS "policyNamespaces )."},
    {"policy without class", ADMX,
     [](std::string t) { return replaced(t, " class=\"Machine\"", ""); },
     "element policy: Schemas validity error : Element '" KORVAN_NS
     "policy': The attribute 'class' is required but missing."},
    {"policy without key", ADMX,
     [](std::string t) {
         return replaced(t, "key=\"SOFTWARE\\Policies\\KorvanVPN\\Service\">", ">");
     },
     "element policy: Schemas validity error : Element '" KORVAN_NS
     "policy': The attribute 'key' is required but missing."},
    {"text without valueName", ADMX,
     [](std::string t) {
         return replaced(t, " valueName=\"StartAllowedFor\" maxLength", " maxLength");
     },
     "element text: Schemas validity error : Element '" KORVAN_NS
     "text': The attribute 'valueName' is required but missing."},
    {"resources without minRequiredRevision", ADMX,
     [](std::string t) {
         return replaced(t, "<resources minRequiredRevision=\"1.0\" />", "<resources />");
     },
     "element resources: Schemas validity error : Element '" KORVAN_NS
     "resources': The attribute 'minRequiredRevision' is required but missing."},
    {"revision without its minor number", ADMX,
     [](std::string t) { return replaced(t, "revision=\"1.0\"", "revision=\"1\""); },
     "element policyDefinitions: Schemas validity error : Element '" KORVAN_NS
     "policyDefinitions', attribute 'revision': [facet 'pattern'] The value '1' is not accepted "
     "by the pattern '[0-9]{1,4}\\.[0-9]{1,5}'."},
    {"schemaVersion of three numbers", ADML,
     [](std::string t) { return replaced(t, "schemaVersion=\"1.0\"", "schemaVersion=\"1.0.0\""); },
     "element policyDefinitionResources: Schemas validity error : Element '" KORVAN_NS
     "policyDefinitionResources', attribute 'schemaVersion': [facet 'pattern'] The value "
     "'1.0.0' is not accepted by the pattern '[0-9]{1,4}\\.[0-9]{1,5}'."},
    {"displayName that is no string reference", ADMX,
     [](std::string t) {
         return replaced(t, "displayName=\"$(string.KorvanVPN)\"", "displayName=\"KorvanVPN\"");
     },
     "element category: Schemas validity error : Element '" KORVAN_NS
     "category', attribute 'displayName': [facet 'pattern'] The value 'KorvanVPN' is not "
     "accepted by the pattern '$\\(string\\.[\\p{L}\\p{N}_]+\\)'."},
    {"another namespace", ADMX,
     [](std::string t) {
         return replaced(
             t, "xmlns=\"http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions\"",
             "xmlns=\"http://schemas.microsoft.com/GroupPolicy/2006/07/Policies\"");
     },
     "element policyDefinitions: Schemas validity error : Element "
     "'{http://schemas.microsoft.com/GroupPolicy/2006/07/Policies}policyDefinitions': No matching "
     "global declaration available for the validation root."},
    {"description before displayName", ADML,
     [](std::string t) { return moved(t, "<description>", "</description>", "<displayName>"); },
     "element description: Schemas validity error : Element '" KORVAN_NS
     "description': This element is not expected. Expected is ( " KORVAN_NS "displayName )."},
    {"string without id", ADML,
     [](std::string t) { return replaced(t, "<string id=\"KorvanVPN\">", "<string>"); },
     "element string: Schemas validity error : Element '" KORVAN_NS
     "string': The attribute 'id' is required but missing."},
    {"textBox without label", ADML,
     [](std::string t) { return replaced(t, "<label>SID of the group or account:</label>", ""); },
     "element textBox: Schemas validity error : Element '" KORVAN_NS
     "textBox': Missing child element(s). Expected is ( " KORVAN_NS "label )."},
    {"presentationTable before stringTable", ADML,
     [](std::string t) {
         return moved(t, "<presentationTable>", "</presentationTable>", "<stringTable>");
     },
     "element stringTable: Schemas validity error : Element '" KORVAN_NS
     "stringTable': This element is not expected."},
};

class PolicyTemplateFault : public testing::TestWithParam<Fault> {};

TEST_P(PolicyTemplateFault, FailsTheSchema) {
    const Fault& fault = GetParam();
    const std::string changed = fault.change(read_text(fault.file));
    ASSERT_FALSE(changed.empty()) << "the fault's place is not in " << fault.file;
    const std::filesystem::path copy = std::filesystem::temp_directory_path() /
                                       ("korvan-policy-" + std::to_string(getpid()) +
                                        std::filesystem::path(fault.file).extension().string());
    std::ofstream(copy, std::ios::binary) << changed;
    const Verdict verdict = validate(copy.string());
    std::filesystem::remove(copy);
    EXPECT_NE(verdict.status, 0);
    EXPECT_EQ(verdict.first_line, fault.error);
}

INSTANTIATE_TEST_SUITE_P(Faults, PolicyTemplateFault, testing::ValuesIn(FAULTS),
                         [](const testing::TestParamInfo<Fault>& info) {
                             std::string name;
                             for (const char c : std::string(info.param.name)) {
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

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
