#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "plant/config/MailTable.h"

namespace tav::plant {

namespace {

// Something a mail server takes as an address, without a way to smuggle
// a second header or command in: no spaces, controls or angle brackets.
bool PlainMailAddress(const std::string &a)
{
    const size_t at = a.find('@');
    if (a.empty() || a.size() > 254 || at == 0 || at == std::string::npos || at + 1 == a.size())
        return false;
    return std::none_of(a.begin(), a.end(), [](char c) {
        return static_cast<unsigned char>(c) <= 0x20 || c == '<' || c == '>' || c == ',' || c == '"' || c == 0x7f;
    });
}

void ReadRule(const toml::table &table, size_t index, const std::string &name, MailConfig *config,
              std::vector<std::string> *messages)
{
    const std::string label = "mail.rule " + std::to_string(index + 1);
    TableReader r(&table, label, name, messages);
    MailRule rule;
    r.Strings("stations", &rule.stations);
    r.Strings("severities", &rule.severities);
    r.Strings("to", &rule.to);
    if (const toml::node *node = r.Find("addresses")) {
        if (const toml::array *array = node->as_array()) {
            for (const toml::node &item : *array) {
                const auto v = item.value_exact<int64_t>();
                if (v && *v >= 0 && *v <= INT32_MAX)
                    rule.addresses.push_back(int32_t(*v));
                else
                    r.Tell(item, "addresses 的每一项应为非负整数，略去该项");
            }
        } else {
            r.Tell(*node, "addresses 应为整数数组，此规则不用");
            return;
        }
    }
    r.ReportUnknown();
    std::vector<std::string> severities;
    for (const std::string &s : rule.severities) {
        if (std::find_if(std::begin(kMailSeverities), std::end(kMailSeverities),
                         [&](const char *k) { return s == k; }) != std::end(kMailSeverities))
            severities.push_back(s);
        else
            r.Tell(*table.get("severities"), "severities 中的 \"" + s + "\" 不是报警级别（alert、danger、offline、change、sensor_fault），略去");
    }
    const bool hadSeverities = !rule.severities.empty();
    rule.severities = severities;
    std::vector<std::string> to;
    for (const std::string &a : rule.to) {
        if (PlainMailAddress(a))
            to.push_back(a);
        else
            r.Tell(*table.get("to"), "to 中的 \"" + a + "\" 不是有效的邮件地址，略去");
    }
    rule.to = to;
    // A rule whose every severity was a typo would otherwise mail everything.
    if (rule.to.empty() || (hadSeverities && rule.severities.empty())) {
        r.Tell(table, "没有可用的收件人或报警级别，此规则不用");
        return;
    }
    config->rules.push_back(std::move(rule));
}

}  // namespace

bool ParseMailConfig(const toml::table &root, const std::string &name, MailConfig *config,
                     std::vector<std::string> *messages)
{
    const toml::table *table = SubTable(root, "mail", name, messages);
    if (!table)
        return true;
    MailConfig &m = *config;
    TableReader mail(table, "mail", name, messages);
    mail.String("url", &m.url);
    mail.String("from", &m.from);
    mail.String("username", &m.username);
    mail.String("password_file", &m.passwordFile);
    mail.String("ca_file", &m.caFile);
    mail.Boolean("insecure", &m.insecure);
    mail.String("base_url", &m.baseUrl);
    mail.Integer("digest_after", 1, 1000, &m.digestAfter);
    mail.Integer("digest_window_s", 1, 86400, &m.digestWindowS);
    mail.Integer("retry_attempts", 1, 100, &m.retryAttempts);
    mail.Integer("retry_first_s", 1, 3600, &m.retryFirstS);
    mail.Integer("retry_max_s", 1, 86400, &m.retryMaxS);
    mail.Integer("queue_bound", 10, 1000000, &m.queueBound);
    if (const toml::node *node = mail.Find("rule")) {
        const toml::array *rules = node->as_array();
        if (!rules || !rules->is_array_of_tables())
            mail.Tell(*node, "rule 应为表数组 [[mail.rule]]，略去");
        else
            for (size_t i = 0; i < rules->size(); ++i)
                ReadRule(*rules->get(i)->as_table(), i, name, config, messages);
    }
    mail.ReportUnknown();
    while (!m.baseUrl.empty() && m.baseUrl.back() == '/')
        m.baseUrl.pop_back();
    if (m.retryMaxS < m.retryFirstS) {
        messages->push_back(name + "：[mail] retry_max_s 不应短于 retry_first_s，使用 " + std::to_string(m.retryFirstS));
        m.retryMaxS = m.retryFirstS;
    }
    if (m.url.empty())
        return true;
    bool ok = true;
    if (m.url.rfind("smtp://", 0) != 0 && m.url.rfind("smtps://", 0) != 0) {
        messages->push_back(name + "：[mail] url 应以 smtp:// 或 smtps:// 开头");
        ok = false;
    } else if (m.url.find('@') != std::string::npos) {
        // The password belongs in password_file: a url is logged.
        messages->push_back(name + "：[mail] url 不应含用户名或密码，请用 username 与 password_file");
        ok = false;
    }
    if (!PlainMailAddress(m.from)) {
        messages->push_back(name + "：[mail] from 不是有效的邮件地址");
        ok = false;
    }
    if (m.rules.empty())
        messages->push_back(name + "：[mail] 没有可用的 [[mail.rule]]，不发送邮件");
    if (!m.passwordFile.empty()) {
        std::ifstream in(m.passwordFile, std::ios::binary);
        if (!in) {
            messages->push_back(name + "：无法读取密码文件 " + m.passwordFile + "：" + std::strerror(errno));
            ok = false;
        } else {
            std::getline(in, m.password);
            while (!m.password.empty() && m.password.back() == '\r')
                m.password.pop_back();
        }
    }
    return ok;
}

}  // namespace tav::plant
