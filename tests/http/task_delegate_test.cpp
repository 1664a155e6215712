// Task delegates driven directly on a task that never runs.
#include "http/task_delegate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <vector>

#include "http/server_trust.h"
#include "platform/security/certificate.h"
#include "platform/security/trust.h"
#include "platform/testing/reset.h"
#include "testing/fakes/tls_authority.h"

namespace {

using namespace Duvarel;
namespace foundation = platform::foundation;
namespace net = platform::net;
namespace security = platform::security;

class TaskDelegateTest : public ::testing::Test {
 protected:
  void TearDown() override {
    session->invalidate_and_cancel();
    platform::testing::reset();
  }
  std::shared_ptr<net::DataTask> dataTask() { return session->data_task(net::Request(*foundation::Url::parse("http://127.0.0.1:9/x"))); }
  std::shared_ptr<net::DownloadTask> downloadTask() {
    return session->download_task(net::Request(*foundation::Url::parse("http://127.0.0.1:9/x")));
  }

  std::shared_ptr<net::Session> session = net::Session::make(net::Configuration::ephemeral());
};

foundation::Error urlError(std::int64_t code, foundation::Dict info = {}) {
  return foundation::Error(std::string(foundation::url_error::domain), code, std::move(info));
}

TEST_F(TaskDelegateTest, QueuedWorkWaitsForCompletionAndRunsInOrder) {
  auto task = dataTask();
  auto delegate = std::make_shared<DataTaskDelegate>(task);
  EXPECT_TRUE(delegate->queue().is_suspended());
  EXPECT_EQ(delegate->queue().max_concurrent(), 1);
  std::mutex m;
  std::vector<int> order;
  for (int i = 0; i < 5; ++i)
    delegate->queue().add([&, i] {
      std::lock_guard lk(m);
      order.push_back(i);
    });
  EXPECT_EQ(delegate->queue().operation_count(), 5u);
  delegate->didCompleteWithError(*session, *task, std::nullopt);
  delegate->queue().wait_until_all_finished();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  // Work added afterwards runs at once.
  delegate->queue().add([&] { order.push_back(5); });
  delegate->queue().wait_until_all_finished();
  EXPECT_EQ(order.back(), 5);
}

TEST_F(TaskDelegateTest, FirstErrorWinsAndCompletionHookKeepsTheQueueSuspended) {
  auto task = dataTask();
  auto delegate = std::make_shared<TaskDelegate>(task);
  delegate->setError(Error(urlError(-1000)));
  delegate->didCompleteWithError(*session, *task, Error(urlError(-1001)));
  EXPECT_EQ(delegate->error()->bridged().code, -1000);
  EXPECT_FALSE(delegate->queue().is_suspended());

  auto hooked = std::make_shared<TaskDelegate>(task);
  int calls = 0;
  hooked->setTaskDidCompleteWithError([&](net::Session&, net::Task&, const std::optional<Error>& e) {
    ++calls;
    EXPECT_EQ(e->bridged().code, -1001);
  });
  hooked->didCompleteWithError(*session, *task, Error(urlError(-1001)));
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(hooked->error());
  EXPECT_TRUE(hooked->queue().is_suspended());
}

TEST_F(TaskDelegateTest, DownloadTakesResumeDataFromTheCompletionError) {
  auto task = downloadTask();
  auto delegate = std::make_shared<DownloadTaskDelegate>(task);
  // A value of another type under the key is ignored.
  delegate->didCompleteWithError(*session, *task,
                                 Error(urlError(-999, {{std::string(foundation::key_resume_data), "text"}})));
  EXPECT_FALSE(delegate->resumeData());
  foundation::Bytes resume{1, 2, 3};
  delegate->didCompleteWithError(*session, *task,
                                 Error(urlError(-999, {{std::string(foundation::key_resume_data), resume}})));
  EXPECT_EQ(delegate->resumeData(), resume);
  EXPECT_EQ(delegate->data(), resume);
}

TEST_F(TaskDelegateTest, ChallengeDispositions) {
  testing::fakes::TlsAuthority ca;
  auto leaf = ca.issue_leaf({"files.example.org"});
  std::vector<std::shared_ptr<security::Certificate>> chain{security::Certificate::from_der(leaf.der())};
  std::shared_ptr<security::Trust> trust;
  ASSERT_EQ(security::Trust::create(chain, {security::Policy::ssl(true, "files.example.org")}, &trust), 0);

  net::Challenge serverTrust;
  serverTrust.space = {"files.example.org", 443, "https", "", std::string(net::auth_method_server_trust)};
  serverTrust.server_trust = trust;
  net::Challenge basic;
  basic.space = {"files.example.org", 443, "https", "realm", std::string(net::auth_method_basic)};
  net::Challenge basicAgain = basic;
  basicAgain.previous_failure_count = 1;

  auto policies = [](bool verdict) {
    return std::make_shared<ServerTrustPolicyManager>(std::map<std::string, ServerTrustPolicy>{
        {"files.example.org", ServerTrustPolicy::customEvaluation([verdict](security::Trust&, const std::string&) { return verdict; })}});
  };
  const auto user = net::Credential::for_user("u", "p", net::Credential::for_session);

  struct Case {
    const char* name;
    const net::Challenge* challenge;
    std::shared_ptr<ServerTrustPolicyManager> manager;
    std::optional<net::Credential> credential;
    net::AuthDisposition expected;
    bool expectCredential;
  };
  const Case cases[] = {
      {"trust without a policy manager", &serverTrust, nullptr, std::nullopt, net::AuthDisposition::perform_default, false},
      {"trust for a host without a policy", &serverTrust,
       std::make_shared<ServerTrustPolicyManager>(std::map<std::string, ServerTrustPolicy>{
           {"FILES.example.org", ServerTrustPolicy::disableEvaluation()}}),
       std::nullopt, net::AuthDisposition::perform_default, false},
      {"trust accepted", &serverTrust, policies(true), std::nullopt, net::AuthDisposition::use_credential, true},
      {"trust refused", &serverTrust, policies(false), std::nullopt, net::AuthDisposition::cancel, false},
      {"basic with a credential", &basic, nullptr, user, net::AuthDisposition::use_credential, true},
      {"basic without any credential", &basic, nullptr, std::nullopt, net::AuthDisposition::perform_default, false},
      {"basic after a failure", &basicAgain, nullptr, user, net::AuthDisposition::reject_protection_space, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    attachServerTrustPolicyManager(*session, c.manager);
    auto task = dataTask();
    auto delegate = std::make_shared<TaskDelegate>(task);
    if (c.credential) delegate->setCredential(*c.credential);
    int answers = 0;
    delegate->didReceiveChallenge(*session, *task, *c.challenge,
                                  [&](net::AuthDisposition d, std::optional<net::Credential> credential) {
                                    ++answers;
                                    EXPECT_EQ(d, c.expected);
                                    EXPECT_EQ(credential.has_value(), c.expectCredential);
                                    if (credential && c.challenge == &serverTrust) {
                                      EXPECT_EQ(credential->server_trust, trust);
                                    }
                                  });
    EXPECT_EQ(answers, 1);
  }

  // The stored default credential of the space is the fallback.
  attachServerTrustPolicyManager(*session, nullptr);
  net::CredentialStorage::shared()->set(net::Credential::for_user("stored", "pw", net::Credential::permanent), basic.space, true);
  auto task = dataTask();
  auto delegate = std::make_shared<TaskDelegate>(task);
  delegate->didReceiveChallenge(*session, *task, basic, [&](net::AuthDisposition d, std::optional<net::Credential> credential) {
    EXPECT_EQ(d, net::AuthDisposition::use_credential);
    ASSERT_TRUE(credential && credential->user());
    EXPECT_EQ(*credential->user(), "stored");
  });
  // A hook answers alone.
  delegate->setTaskDidReceiveChallenge([](net::Session&, net::Task&, const net::Challenge&) {
    return ChallengeAnswer{net::AuthDisposition::cancel, std::nullopt};
  });
  delegate->didReceiveChallenge(*session, *task, basic, [&](net::AuthDisposition d, std::optional<net::Credential>) {
    EXPECT_EQ(d, net::AuthDisposition::cancel);
  });
}

TEST_F(TaskDelegateTest, DataCollectsChunksAndReportsProgressWithoutAResponse) {
  auto task = dataTask();
  auto delegate = std::make_shared<DataTaskDelegate>(task);
  EXPECT_EQ(delegate->data(), foundation::Bytes{});  // empty, not none
  EXPECT_FALSE(delegate->initialResponseTime());
  delegate->didReceiveData(*session, *task, foundation::Bytes{1, 2});
  auto first = delegate->initialResponseTime();
  ASSERT_TRUE(first);
  delegate->didReceiveData(*session, *task, foundation::Bytes{3});
  EXPECT_EQ(delegate->initialResponseTime(), first);
  EXPECT_EQ(delegate->data(), (foundation::Bytes{1, 2, 3}));
  EXPECT_EQ(delegate->totalBytesReceived(), 3);
  EXPECT_EQ(delegate->progress()->totalUnitCount(), TransferSizeUnknown);
  EXPECT_EQ(delegate->progress()->completedUnitCount(), 3);

  // Streaming: chunks go to the closure and data is none.
  std::vector<foundation::Bytes> streamed;
  delegate->setDataStream([&](const foundation::Bytes& chunk) { streamed.push_back(chunk); });
  delegate->didReceiveData(*session, *task, foundation::Bytes{4});
  EXPECT_EQ(streamed, (std::vector<foundation::Bytes>{{4}}));
  EXPECT_FALSE(delegate->data());
  EXPECT_EQ(delegate->totalBytesReceived(), 4);

  // A progress handler runs on its queue with the delegate's progress.
  std::promise<std::int64_t> seen;
  delegate->setProgressHandler(ProgressHandler{
      [&](std::shared_ptr<Progress> p) { seen.set_value(p->completedUnitCount()); },
      platform::dispatch::Queue::global()});
  delegate->didReceiveData(*session, *task, foundation::Bytes{5});
  auto f = seen.get_future();
  ASSERT_EQ(f.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(f.get(), 5);
}

TEST_F(TaskDelegateTest, ResetPerClass) {
  auto cred = net::Credential::for_user("u", "p", net::Credential::for_session);
  auto metrics = std::make_shared<net::TaskMetrics>();
  auto fill = [&](TaskDelegate& d) {
    d.setError(Error(urlError(-1)));
    d.setInitialResponseTime(1.0);
    d.setCredential(cred);
    d.setMetrics(metrics);
    d.setTaskNeedNewBodyStream([](net::Session&, net::Task&) { return nullptr; });
  };
  auto checkBase = [&](TaskDelegate& d, const std::shared_ptr<net::Task>& newTask) {
    EXPECT_EQ(d.task(), newTask);
    EXPECT_FALSE(d.error());
    EXPECT_FALSE(d.initialResponseTime());
    EXPECT_TRUE(d.credential());
    EXPECT_EQ(d.metrics(), metrics);
    EXPECT_TRUE(d.taskNeedNewBodyStream());
  };

  {
    TaskDelegate d(dataTask());
    fill(d);
    auto t = dataTask();
    d.setTask(t);
    checkBase(d, t);
  }
  {
    auto d = std::make_shared<DataTaskDelegate>(dataTask());
    fill(*d);
    d->setDataStream([](const foundation::Bytes&) {});
    d->setProgressHandler(ProgressHandler{[](std::shared_ptr<Progress>) {}, platform::dispatch::Queue::global()});
    d->didReceiveData(*session, *dataTask(), foundation::Bytes{1});
    d->setDataStream(nullptr);
    d->didReceiveData(*session, *dataTask(), foundation::Bytes{2});
    auto oldProgress = d->progress();
    auto t = dataTask();
    d->setTask(t);
    checkBase(*d, t);
    EXPECT_NE(d->progress(), oldProgress);
    EXPECT_EQ(d->progress()->totalUnitCount(), 0);
    EXPECT_EQ(d->totalBytesReceived(), 0);
    EXPECT_EQ(d->data(), foundation::Bytes{});
    EXPECT_FALSE(d->expectedContentLength());
    EXPECT_TRUE(d->progressHandler());
  }
  {
    auto d = std::make_shared<DownloadTaskDelegate>(downloadTask());
    fill(*d);
    d->setResumeData(foundation::Bytes{9});
    d->setDestination([](const foundation::Url& u, const net::Response&) { return std::pair{u, DownloadOptions()}; });
    auto oldProgress = d->progress();
    auto t = downloadTask();
    d->setTask(t);
    checkBase(*d, t);
    EXPECT_FALSE(d->resumeData());
    EXPECT_NE(d->progress(), oldProgress);
    EXPECT_TRUE(d->destination());
  }
  {
    auto d = std::make_shared<UploadTaskDelegate>(dataTask());
    fill(*d);
    d->didSendBodyData(*session, *dataTask(), 4, 4, 10);
    EXPECT_EQ(d->uploadProgress()->completedUnitCount(), 4);
    EXPECT_EQ(d->uploadProgress()->totalUnitCount(), 10);
    auto oldUpload = d->uploadProgress();
    auto t = dataTask();
    d->setTask(t);
    checkBase(*d, t);
    EXPECT_NE(d->uploadProgress(), oldUpload);
    EXPECT_EQ(d->uploadProgress()->totalUnitCount(), 0);
  }
}

TEST_F(TaskDelegateTest, DownloadProgressAndResume) {
  auto task = downloadTask();
  auto d = std::make_shared<DownloadTaskDelegate>(task);
  d->didResumeAtOffset(*session, *task, 10, 100);
  EXPECT_FALSE(d->initialResponseTime());
  EXPECT_EQ(d->progress()->completedUnitCount(), 10);
  EXPECT_EQ(d->progress()->totalUnitCount(), 100);
  d->didWriteData(*session, *task, 5, 15, 100);
  EXPECT_TRUE(d->initialResponseTime());
  EXPECT_EQ(d->progress()->completedUnitCount(), 15);
  // Without a response nothing is moved and the location is kept.
  d->setDestination([](const foundation::Url& u, const net::Response&) { return std::pair{u, DownloadOptions()}; });
  auto location = foundation::Url::file("/tmp/never-there.tmp");
  d->didFinishDownloading(*session, *task, location);
  EXPECT_EQ(d->temporaryURL(), location);
  EXPECT_FALSE(d->destinationURL());
}

TEST(DownloadOptionsTest, SetAlgebra) {
  constexpr DownloadOptions both{DownloadOptions::createParentDirectories, DownloadOptions::removeExistingFile};
  static_assert(both.rawValue == 3);
  EXPECT_TRUE(both.contains(DownloadOptions::removeExistingFile));
  EXPECT_EQ((both - DownloadOptions::createParentDirectories), DownloadOptions::removeExistingFile);
  EXPECT_EQ((both ^ DownloadOptions::removeExistingFile), DownloadOptions::createParentDirectories);
  EXPECT_EQ((DownloadOptions::createParentDirectories & DownloadOptions::removeExistingFile).rawValue, 0u);
  EXPECT_TRUE(DownloadOptions().isEmpty());
  EXPECT_TRUE(DownloadOptions::removeExistingFile.isSubset(both));
  EXPECT_FALSE(both.isSubset(DownloadOptions::removeExistingFile));
}

}  // namespace
