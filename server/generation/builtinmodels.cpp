#include "builtinmodels.h"

#include "text.h"

namespace kestrune
{
namespace
{

std::string quoted(std::string_view text)
{
    std::string out = "> ";
    for (char c : text) {
        out += c;
        if (c == '\n')
            out += "> ";
    }
    return out;
}

} // namespace

std::string showcaseReply(const GenerationRequest& request)
{
    const std::string prompt = trimmed(request.prompt);
    std::string out;
    out += "# Markdown 展示\n\n";
    out += "你的提示是：\n\n" + quoted(prompt) + "\n\n";
    out += "下面用常见的 Markdown 元素回应它，方便检查渲染效果。\n\n";
    out += "## 列表\n\n";
    out += "- 第一项：**粗体**与*斜体*\n";
    out += "- 第二项：`行内代码`\n";
    out += "  - 嵌套项\n";
    out += "1. 有序列表的第一步\n";
    out += "2. 第二步\n\n";
    out += "## 表格\n\n";
    out += "| 项目 | 说明 | 状态 |\n";
    out += "| --- | :---: | ---: |\n";
    out += "| 提示长度 | " + std::to_string(codePointCount(prompt)) + " 个字符 | 已统计 |\n";
    out += "| 模式 | " + std::string(request.privateMode ? "隐私对话" : "云端对话") + " | 正常 |\n";
    out += "| 历史 | " + std::to_string(request.history.size()) + " 条 | 已读取 |\n\n";
    out += "## 代码\n\n";
    out += "```cpp\n#include <iostream>\n\nint main()\n{\n    std::cout << "
           "\"你好，KestruneAI\\n\";\n}\n```\n\n";
    out += "## 其他元素\n\n";
    out += "~~这一句已被删除~~，这一句保留。\n\n";
    out += "- [x] 已完成的任务\n";
    out += "- [ ] 待办的任务\n\n";
    out += "链接：[KestruneAI 帮助](https://kestrune.local/help)\n\n";
    out += "图片：![KestruneAI 标志](https://kestrune.local/logo.png)\n\n";
    out += "---\n\n以上就是全部展示内容。";
    return out;
}

std::string echoReply(const GenerationRequest& request)
{
    const std::string prompt = trimmed(request.prompt);
    std::string out = "*思考：收到一条 " + std::to_string(codePointCount(prompt)) +
                      " 个字符的提示，按原样复述。*\n\n";
    if (request.privateMode)
        out += "隐私对话：收到 " + std::to_string(request.history.size()) + " 条历史记录。\n\n";
    else if (!request.history.empty())
        out += "本对话此前已有 " + std::to_string(request.history.size()) + " 条消息。\n\n";
    out += prompt;
    return out;
}

} // namespace kestrune
