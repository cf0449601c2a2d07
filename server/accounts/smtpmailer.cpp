#include "smtpmailer.h"

#include "outbox.h"
#include "refusal.h"
#include "text.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <mutex>

namespace kestrune
{
namespace
{

struct Upload {
    const std::string& text;
    std::size_t sent = 0;
};

std::size_t readUpload(char* buffer, std::size_t size, std::size_t count, void* data)
{
    auto* upload = static_cast<Upload*>(data);
    const std::size_t n = std::min(size * count, upload->text.size() - upload->sent);
    std::memcpy(buffer, upload->text.data() + upload->sent, n);
    upload->sent += n;
    return n;
}

// Breaks a transfer off when the mailer stops.
int abortWhenStopping(void* stopping, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<const std::atomic<bool>*>(stopping)->load() ? 1 : 0;
}

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

SmtpMailer::SmtpMailer(SmtpSettings settings, std::size_t threads) : settings(std::move(settings))
{
    initCurlOnce();
    for (std::size_t i = 0; i < threads; ++i)
        workers.emplace_back([this] { work(); });
}

SmtpMailer::~SmtpMailer()
{
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    for (auto& worker : workers)
        worker.join();
}

void SmtpMailer::sendVerificationCode(const std::string& email, const std::string& code,
                                      const std::string& pendingId)
{
    std::string message =
        verificationMail(email, code, pendingId, std::time(nullptr), settings.from);
    {
        std::lock_guard lock(mutex);
        if (queue.size() >= maxWaiting)
            throw Refusal(RefusalKind::busy, "服务器繁忙，请稍后再试。");
        queue.push_back({email, std::move(message), 0, std::chrono::steady_clock::now()});
    }
    wake.notify_one();
}

std::string SmtpMailer::destination() const
{
    return "mail: " + settings.url;
}

void SmtpMailer::work()
{
    std::unique_lock lock(mutex);
    for (;;) {
        if (stopping)
            return;
        // The mail due first; mails waiting for a retry may sit behind ones due now.
        const auto next =
            std::min_element(queue.begin(), queue.end(),
                             [](const Pending& a, const Pending& b) { return a.due < b.due; });
        if (next == queue.end()) {
            wake.wait(lock);
            continue;
        }
        if (next->due > std::chrono::steady_clock::now()) {
            wake.wait_until(lock, next->due);
            continue;
        }
        Pending mail = std::move(*next);
        queue.erase(next);
        lock.unlock();
        const std::string error = trySend(mail.to, mail.message);
        lock.lock();
        if (error.empty())
            continue;
        if (mail.tries < settings.retryDelays.size() && !stopping) {
            mail.due = std::chrono::steady_clock::now() + settings.retryDelays[mail.tries];
            ++mail.tries;
            queue.push_back(std::move(mail));
            continue;
        }
        std::cerr << "error: verification mail to " << printable(mail.to) << " given up after "
                  << mail.tries + 1 << " tries: " << error << "\n";
    }
}

std::string SmtpMailer::trySend(const std::string& to, const std::string& message)
{
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(),
                                                                   curl_easy_cleanup);
    if (!curl)
        return "cannot start a mail transfer";
    const std::string from = "<" + settings.from + ">";
    const std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> recipients(
        curl_slist_append(nullptr, ("<" + to + ">").c_str()), curl_slist_free_all);
    Upload upload{message};
    char error[CURL_ERROR_SIZE] = {};
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, settings.url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    // Over smtp:// the session must turn to TLS (STARTTLS) before anything is said.
    curl_easy_setopt(handle, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    if (!settings.caFile.empty())
        curl_easy_setopt(handle, CURLOPT_CAINFO, settings.caFile.c_str());
    if (!settings.user.empty()) {
        curl_easy_setopt(handle, CURLOPT_USERNAME, settings.user.c_str());
        curl_easy_setopt(handle, CURLOPT_PASSWORD, settings.password.c_str());
    }
    curl_easy_setopt(handle, CURLOPT_MAIL_FROM, from.c_str());
    curl_easy_setopt(handle, CURLOPT_MAIL_RCPT, recipients.get());
    curl_easy_setopt(handle, CURLOPT_READFUNCTION, readUpload);
    curl_easy_setopt(handle, CURLOPT_READDATA, &upload);
    curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, abortWhenStopping);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &stopping);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, 10000L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS,
                     static_cast<long>(settings.attemptTimeout.count()));
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);
    const CURLcode result = curl_easy_perform(handle);
    if (result == CURLE_OK)
        return {};
    return error[0] != '\0' ? std::string(error) : curl_easy_strerror(result);
}

} // namespace kestrune
