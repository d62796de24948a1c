#pragma once
// What every reader of a station.toml table uses: typed entries, each bad or
// unknown one reported with its line. Only the settings module includes it.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/settings/SettingsText.h"

namespace tav {

// Reads typed entries of one table, reporting what it cannot take.
class TableReader {
public:
    TableReader(const toml::table *table, std::string tableName, std::string fileName,
                std::vector<std::string> *messages)
        : table_(table), tableName_(std::move(tableName)), fileName_(std::move(fileName)), messages_(messages)
    {
    }

    void Integer(const char *key, int low, int high, int *out)
    {
        const toml::node *node = Find(key);
        if (!node)
            return;
        auto v = node->value_exact<int64_t>();
        if (!v || *v < low || *v > high) {
            Complain(*node, key, "应为 " + std::to_string(low) + " 到 " + std::to_string(high) + " 之间的整数",
                     std::to_string(*out));
            return;
        }
        *out = int(*v);
    }

    void Number(const char *key, double low, double high, double *out)
    {
        const toml::node *node = Find(key);
        if (!node)
            return;
        auto v = node->value<double>();  // integers are numbers too
        if (!v || !std::isfinite(*v) || *v < low || *v > high) {
            char range[96];
            std::snprintf(range, sizeof range, "应为 %g 到 %g 之间的数", low, high);
            char def[32];
            std::snprintf(def, sizeof def, "%g", *out);
            Complain(*node, key, range, def);
            return;
        }
        *out = *v;
    }

    void Boolean(const char *key, bool *out)
    {
        const toml::node *node = Find(key);
        if (!node)
            return;
        auto v = node->value_exact<bool>();
        if (!v) {
            Complain(*node, key, "应为 true 或 false", *out ? "true" : "false");
            return;
        }
        *out = *v;
    }

    void String(const char *key, std::string *out)
    {
        const toml::node *node = Find(key);
        if (!node)
            return;
        auto v = node->value_exact<std::string>();
        if (!v) {
            Complain(*node, key, "应为字符串", "\"" + *out + "\"");
            return;
        }
        *out = *v;
    }

    // An array of strings; entries of another type are reported and left out.
    void Strings(const char *key, std::vector<std::string> *out)
    {
        const toml::node *node = Find(key);
        if (!node)
            return;
        const toml::array *array = node->as_array();
        if (!array) {
            Complain(*node, key, "应为字符串数组", "空");
            return;
        }
        out->clear();
        for (const toml::node &item : *array) {
            auto v = item.value_exact<std::string>();
            if (v)
                out->push_back(*v);
            else
                Complain(item, key, "的每一项应为字符串", "略去该项");
        }
    }

    // A limit: a positive finite number, or left unset (NaN).
    void Limit(const std::string &key, double *out)
    {
        const toml::node *node = Find(key.c_str());
        if (!node)
            return;
        auto v = node->value<double>();
        if (!v || !std::isfinite(*v) || !(*v > 0)) {
            Tell(*node, key + " 应为正数，不设此限值");
            return;
        }
        *out = *v;
    }

    const toml::node *Find(const char *key)
    {
        asked_.emplace_back(key);
        return table_ ? table_->get(key) : nullptr;
    }

    // Keys of the table that nothing asked for: a typo such as velocity_alrt
    // would otherwise leave a limit unset without a word.
    void ReportUnknown()
    {
        if (!table_)
            return;
        for (const auto &[key, node] : *table_) {
            const std::string name(key.str());
            if (std::find(asked_.begin(), asked_.end(), name) != asked_.end())
                continue;
            const int line = int(key.source().begin.line ? key.source().begin.line : node.source().begin.line);
            if (messages_)
                messages_->push_back(fileName_ + " 第" + std::to_string(line) + "行：[" + tableName_ + "] " +
                                     (node.is_table() ? "未知的表 [" + tableName_ + "." + name + "]" : "未知的键 " + name) +
                                     "，略去");
        }
    }

    // A message about `node` in this table's words.
    void Tell(const toml::node &node, const std::string &text)
    {
        if (messages_)
            messages_->push_back(fileName_ + " 第" + std::to_string(node.source().begin.line) + "行：[" + tableName_ +
                                 "] " + text);
    }

private:
    void Complain(const toml::node &node, const char *key, const std::string &what, const std::string &used)
    {
        Tell(node, std::string(key) + " " + what + "，使用 " + used);
    }

    const toml::table *table_;
    std::string tableName_;
    std::string fileName_;
    std::vector<std::string> *messages_;
    std::vector<std::string> asked_;
};

inline const toml::table *SubTable(const toml::table &root, const char *name, const std::string &fileName,
                            std::vector<std::string> *messages)
{
    const toml::node *node = root.get(name);
    if (!node)
        return nullptr;
    if (!node->is_table()) {
        if (messages)
            messages->push_back(fileName + " 第" + std::to_string(node->source().begin.line) + "行：" + name +
                                " 应为表 [" + name + "]，使用默认设置");
        return nullptr;
    }
    return node->as_table();
}

}  // namespace tav
