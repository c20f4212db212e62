// The supervisor's protocol with its workers: jobs and answers read back as
// they were framed, and frames that are cut short, too long or of the
// wrong kind never read as something else.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/worker_frames.h"

namespace {

using namespace std::string_literals;

std::string_view whole_body(const std::string& frame) {
    std::string_view body;
    std::size_t used = 0;
    EXPECT_EQ(take_frame(frame, body, used), frame_status::complete);
    EXPECT_EQ(used, frame.size());
    return body;
}

TEST(WorkerFrames, RoundTrips) {
    worker_job job{7, job_kind::check, "alice@example.org", "p\0ss\nword"s, "10.0.0.1"s};
    std::optional<worker_job> job_back = read_job(whole_body(frame_job(job)));
    ASSERT_TRUE(job_back);
    EXPECT_EQ(job_back->id, 7u);
    EXPECT_EQ(job_back->kind, job_kind::check);
    EXPECT_EQ(job_back->user, job.user);
    EXPECT_EQ(job_back->password, job.password);
    EXPECT_EQ(job_back->address, job.address);

    worker_answer answer{9, check_verdict::found, "bob"s, std::nullopt, "fwd=\"x\""s, 4294967295};
    std::optional<worker_answer> back = read_answer(whole_body(frame_answer(answer)));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->id, 9u);
    EXPECT_EQ(back->verdict, check_verdict::found);
    EXPECT_EQ(back->user, answer.user);
    EXPECT_EQ(back->maildrop, std::nullopt);
    EXPECT_EQ(back->options, answer.options);
    EXPECT_EQ(back->uid, 4294967295);

    EXPECT_TRUE(is_ready(whole_body(frame_ready())));
    EXPECT_FALSE(read_job(whole_body(frame_ready())));
    EXPECT_FALSE(read_answer(whole_body(frame_job(job))));
}

TEST(WorkerFrames, Broken) {
    const std::string job = frame_job({1, job_kind::lookup, "bob", "", std::nullopt});
    std::string_view body;
    std::size_t used = 0;
    // Cut anywhere: incomplete, never a shorter frame.
    for (std::size_t cut = 0; cut < job.size(); ++cut)
        EXPECT_EQ(take_frame(job.substr(0, cut), body, used), frame_status::incomplete) << cut;
    EXPECT_EQ(take_frame("\0\0\0\0"s, body, used), frame_status::broken);
    EXPECT_EQ(take_frame("\0\x10\0\x01"s, body, used), frame_status::broken);
    // A body whose fields run past its end, or leave bytes over.
    std::string inner(whole_body(job));
    const std::vector<std::string> bodies = {inner.substr(0, inner.size() - 1), inner + "x", "J"s,
                                             "A\0\0\0\1\3"s, ""};
    for (const std::string& b : bodies) {
        EXPECT_FALSE(read_job(b));
        EXPECT_FALSE(read_answer(b));
    }
}

// The supervisor writes all of a turn's jobs for a worker in one write:
// the stream carries them back to back, and however the reads cut it, the
// worker gets every job whole and in order, and nothing from a cut one.
TEST(WorkerFrames, ManyJobsInOneStream) {
    const std::vector<worker_job> jobs = {
        {1, job_kind::check, "alice@example.org", "secret", "192.0.2.1"s},
        {2, job_kind::lookup, "bob", "", std::nullopt},
        {3, job_kind::check, "", "p\0\n"s, ""s},
        {4294967295u, job_kind::check, std::string(300, 'u'), std::string(70000, 'p'),
         std::nullopt},
    };
    std::string stream;
    for (const worker_job& j : jobs) {
        const std::size_t before = stream.size();
        append_job_frame(stream, j.id, j.kind, j.user, j.password, j.address);
        EXPECT_EQ(stream.substr(before), frame_job(j)) << j.id;
    }
    // The stream read in two parts, cut at every byte of the short jobs and
    // the long one's head, then at every 997th.
    for (std::size_t cut = 0; cut <= stream.size(); cut += cut < 400 ? 1 : 997) {
        SCOPED_TRACE(cut);
        std::string in;
        std::vector<worker_job> back;
        for (std::string_view read :
             {std::string_view(stream).substr(0, cut), std::string_view(stream).substr(cut)}) {
            in.append(read);
            std::string_view body;
            std::size_t used = 0;
            frame_status status;
            while ((status = take_frame(in, body, used)) == frame_status::complete) {
                std::optional<worker_job> job = read_job(body);
                ASSERT_TRUE(job);
                back.push_back(*job);
                in.erase(0, used);
            }
            ASSERT_EQ(status, frame_status::incomplete);
        }
        EXPECT_TRUE(in.empty());
        ASSERT_EQ(back.size(), jobs.size());
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            EXPECT_EQ(back[i].id, jobs[i].id);
            EXPECT_EQ(back[i].kind, jobs[i].kind);
            EXPECT_EQ(back[i].user, jobs[i].user);
            EXPECT_EQ(back[i].password, jobs[i].password);
            EXPECT_EQ(back[i].address, jobs[i].address);
        }
    }
}

}  // namespace
