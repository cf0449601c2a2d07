#pragma once

// What the routes tell the client when they refuse a request or a reply fails, in one place:
// the client shows these verbatim.

#include <cstddef>
#include <string>

namespace kestrune::errortext
{

inline constexpr const char* notSignedIn = "请先登录。";
inline constexpr const char* sessionExpired = "登录已失效，请重新登录。";

inline constexpr const char* notJson = "请求内容不是有效的 JSON。";
inline constexpr const char* notJsonObject = "请求内容必须是 JSON 对象。";
inline std::string missingField(const char* key)
{
    return std::string("缺少字段 ") + key + "。";
}
inline std::string fieldNotString(const char* key)
{
    return std::string("字段 ") + key + " 必须是字符串。";
}

inline constexpr const char* conversationNotFound = "对话不存在或已删除。";
inline constexpr const char* modelUnavailable = "模型不存在或当前不可用。";
inline constexpr const char* emptyTitle = "标题不能为空。";
inline constexpr const char* emptySearch = "请输入要搜索的内容。";
inline constexpr const char* searchTooLong = "搜索内容不能超过 100 个字符。";
inline constexpr const char* badSearchLimit = "limit 应为正整数。";

inline constexpr const char* historyNotArray = "字段 history 必须是数组。";
inline constexpr const char* historyItemNotObject = "history 中的每一项都必须是消息对象。";
inline constexpr const char* historyBadRole = "history 中消息的 role 必须是 user 或 assistant。";
inline constexpr const char* historyBadContent = "history 中消息的 content 必须是字符串。";
inline constexpr const char* emptyPrompt = "提示内容不能为空。";
inline std::string historyTooLong(std::size_t limit)
{
    return "历史记录过多，最多 " + std::to_string(limit) + " 条。";
}
inline std::string promptTooLong(std::size_t limit)
{
    return "提示内容过长，最多 " + std::to_string(limit) + " 个字符。";
}
inline constexpr const char* badMode = "字段 mode 只能是 private。";
inline constexpr const char* tooManyStreams = "同时进行的回复过多，请等当前的回复结束后再试。";

inline constexpr const char* noPoints = "对话额度已用完，请联系管理员充值。";
inline constexpr const char* emptyReply = "模型没有返回任何内容，请重试。";
inline constexpr const char* serviceStopping =
    "服务正在重启，回复已中断，本次不扣点数。请稍后重试。";
inline constexpr const char* replyNotSaved = "回复未能保存，本次不扣点数，请重试。";
// A database that cannot take a write for now (disk full, busy): nothing was saved.
inline constexpr const char* storageUnavailable = "服务器暂时无法保存数据，请稍后再试。";

} // namespace kestrune::errortext
