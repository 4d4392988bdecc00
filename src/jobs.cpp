#include "jobs.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include "common.hpp"
#include "fetch.hpp"
#include "output.hpp"
#include "progress.hpp"
#include "xmlutil.hpp"

namespace skiffer {

namespace {

// How many channels of one feed host run at a time.
constexpr int channels_per_host = 2;

// How often the status line is redrawn.
constexpr std::chrono::milliseconds status_interval{250};

// A channel of the run, from its selection to its printed block.
struct queued_channel {
    std::string identifier;
    held_output output;
    // None when the channel failed its checks: its block holds why, and
    // there is nothing to run.
    std::optional<channel_configuration> configuration;
    // Channels of one host take turns; a local feed is a host of its own.
    std::string host;
    // The earlier channels with the same spool directory or playlist that
    // have not ended yet, and the later ones that wait for this one.
    int waiting_for = 0;
    std::vector<size_t> successors;
    bool done = false;
};

// What names one file or directory, whatever path leads to it: its device
// and inode when it exists, else its path made absolute and clean.
std::string file_identity(const std::string &path) {
    struct stat status;
    if (stat(path.c_str(), &status) == 0)
        return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
    gchar_ptr canonical(g_canonicalize_filename(path.c_str(), nullptr));
    return canonical.get();
}

// Hands out the channels to the worker threads in an order that is polite
// to the hosts and safe for shared files, and tells the printer when a
// channel has ended.
class scheduler {
public:
    explicit scheduler(std::vector<queued_channel> &channels) : channels_(channels) {
        // Each channel waits for the last earlier one that shares its spool
        // directory, and for the last that shares its playlist: so those
        // run in selection order, one after another.
        std::unordered_map<std::string, size_t> last_user;
        for (size_t index = 0; index < channels_.size(); ++index) {
            queued_channel &channel = channels_[index];
            if (!channel.configuration) {
                channel.done = true;
                continue;
            }
            std::vector<std::string> keys = {"spool " +
                                             file_identity(*channel.configuration->spool)};
            if (channel.configuration->playlist)
                keys.push_back("playlist " + file_identity(*channel.configuration->playlist));
            for (const std::string &key : keys) {
                auto [last, first_user] = last_user.try_emplace(key, index);
                if (first_user)
                    continue;
                std::vector<size_t> &successors = channels_[last->second].successors;
                if (std::find(successors.begin(), successors.end(), index) == successors.end()) {
                    successors.push_back(index);
                    ++channel.waiting_for;
                }
                last->second = index;
            }
            ++unstarted_;
            if (channel.waiting_for == 0)
                hosts_[channel.host].ready.insert(index);
        }
        for (auto &[host, queue] : hosts_)
            file_host(host, queue);
    }

    // Waits for a channel that may start, and answers it; none when every
    // channel has been started.
    std::optional<size_t> next() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return unstarted_ == 0 || !startable_.empty(); });
        if (unstarted_ == 0)
            return std::nullopt;
        // The host with the fewest channels under way, and of those the one
        // whose channel comes first: hosts take turns.
        const auto [running, index, host] = *startable_.begin();
        host_queue &queue = hosts_.at(*host);
        unfile_host(*host, queue);
        queue.ready.erase(index);
        ++queue.running;
        --unstarted_;
        file_host(*host, queue);
        return index;
    }

    // Notes that the channel has ended, and lets those that wait for it go.
    void finish(size_t index) {
        {
            std::lock_guard lock(mutex_);
            queued_channel &channel = channels_[index];
            channel.done = true;
            host_queue &ended = hosts_.at(channel.host);
            unfile_host(channel.host, ended);
            --ended.running;
            file_host(channel.host, ended);
            for (size_t successor : channel.successors) {
                queued_channel &waiting = channels_[successor];
                if (--waiting.waiting_for > 0)
                    continue;
                host_queue &queue = hosts_[waiting.host];
                unfile_host(waiting.host, queue);
                queue.ready.insert(successor);
                file_host(waiting.host, queue);
            }
        }
        changed_.notify_all();
    }

    // Waits until the channel has ended, at most `timeout`; answers whether
    // it has.
    bool wait_until_done(size_t index, std::optional<std::chrono::milliseconds> timeout) {
        std::unique_lock lock(mutex_);
        auto done = [&] { return channels_[index].done; };
        if (!timeout) {
            changed_.wait(lock, done);
            return true;
        }
        return changed_.wait_for(lock, *timeout, done);
    }

private:
    struct host_queue {
        std::set<size_t> ready; // may start, in selection order
        int running = 0;
    };

    // A host that may start a channel: how many it runs, its first ready
    // channel, its name.
    using startable_host = std::tuple<int, size_t, const std::string *>;

    // Takes the host's entry out of startable_ before its queue changes,
    // and files it again afterwards. The entry names the host by its key in
    // hosts_, whichever string the caller holds.
    void unfile_host(const std::string &host, const host_queue &queue) {
        if (!queue.ready.empty() && queue.running < channels_per_host)
            startable_.erase({queue.running, *queue.ready.begin(), &hosts_.find(host)->first});
    }

    void file_host(const std::string &host, const host_queue &queue) {
        if (!queue.ready.empty() && queue.running < channels_per_host)
            startable_.insert({queue.running, *queue.ready.begin(), &hosts_.find(host)->first});
    }

    std::vector<queued_channel> &channels_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::unordered_map<std::string, host_queue> hosts_;
    std::set<startable_host> startable_;
    size_t unstarted_ = 0;
};

// The one line that shows the downloads under way, on standard output.
class status_line {
public:
    // Redraws the line in place with the current totals.
    void draw() {
        const download_totals totals = current_download_totals();
        const auto now = std::chrono::steady_clock::now();
        if (!last_time_) {
            last_time_ = now;
            last_received_ = totals.received;
        }
        const double seconds = std::chrono::duration<double>(now - *last_time_).count();
        if (seconds >= 1.0) {
            rate_ = static_cast<double>(totals.received - last_received_) / seconds;
            last_time_ = now;
            last_received_ = totals.received;
        }
        std::string text;
        if (totals.downloads > 0) {
            gchar_ptr done(g_format_size(static_cast<guint64>(totals.done)));
            gchar_ptr rate(g_format_size(static_cast<guint64>(rate_)));
            text = std::to_string(totals.downloads) +
                   (totals.downloads == 1 ? " download: " : " downloads: ") + done.get();
            if (totals.known > 0) {
                gchar_ptr known(g_format_size(static_cast<guint64>(totals.known)));
                text += std::string(" of ") + known.get();
            }
            text += std::string(", ") + rate.get() + "/s";
        }
        show(text);
    }

    // Takes the line away, so that a block prints from the line's start.
    void erase() { show(""); }

private:
    void show(const std::string &text) {
        if (text == shown_)
            return;
        // The old text is overwritten by spaces where the new one is shorter.
        std::string line = "\r" + text;
        if (shown_.size() > text.size())
            line += std::string(shown_.size() - text.size(), ' ') + "\r" + text;
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
        shown_ = text;
    }

    std::string shown_;
    std::optional<std::chrono::steady_clock::time_point> last_time_;
    int64_t last_received_ = 0;
    double rate_ = 0;
};

} // namespace

void run_channels_in_parallel(const run_settings &settings, GKeyFile *kf,
                              const std::vector<std::string> &identifiers, int jobs,
                              bool show_status) {
    // The checks read the configuration file, which only this thread
    // touches; their messages belong to the channel's block.
    std::vector<queued_channel> channels(identifiers.size());
    for (size_t index = 0; index < identifiers.size(); ++index) {
        queued_channel &channel = channels[index];
        channel.identifier = identifiers[index];
        scoped_output printing_into(channel.output);
        channel.configuration = check_channel(settings, kf, channel.identifier.c_str());
        if (channel.configuration) {
            const std::string &url = *channel.configuration->url;
            channel.host =
                is_remote_feed(url) ? url_host(url.c_str()).value_or("") : "local " + channel.identifier;
        }
    }

    // GLib finds the temporary directory, where feeds are downloaded, on
    // first use; that first use is made here, before the threads.
    g_get_tmp_dir();

    scheduler order(channels);
    std::vector<std::jthread> workers;
    const size_t worker_count = std::min<size_t>(static_cast<size_t>(jobs), channels.size());
    for (size_t i = 0; i < worker_count; ++i) {
        workers.emplace_back([&] {
            // libxml2 keeps its message handler per thread.
            xml_escape_messages();
            while (std::optional<size_t> index = order.next()) {
                queued_channel &channel = channels[*index];
                {
                    scoped_output printing_into(channel.output);
                    run_checked_channel(settings, *channel.configuration);
                }
                order.finish(*index);
            }
        });
    }

    std::optional<status_line> status;
    if (show_status)
        status.emplace();
    for (size_t index = 0; index < channels.size(); ++index) {
        if (status) {
            while (!order.wait_until_done(index, status_interval))
                status->draw();
            status->erase();
        } else {
            order.wait_until_done(index, std::nullopt);
        }
        channels[index].output.print();
        channels[index].configuration.reset();
    }
}

} // namespace skiffer
