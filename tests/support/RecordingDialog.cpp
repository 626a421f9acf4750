#include "support/RecordingDialog.h"

#include <cstdio>

namespace TestSupport {

RecordingDialog::RecordingDialog(bool publish) : m_published(publish) {
    if (m_published) PublishDialog(this);
}

RecordingDialog::~RecordingDialog() {
    if (m_published) PublishDialog(nullptr);
}

void RecordingDialog::SetMessageAnswer(int button) {
    std::lock_guard<TestSupport::Mutex> lock(m_mutex);
    m_defaultAnswer = button;
}

void RecordingDialog::QueueMessageAnswers(const std::vector<int>& buttons) {
    std::lock_guard<TestSupport::Mutex> lock(m_mutex);
    m_queuedAnswers.insert(m_queuedAnswers.end(), buttons.begin(), buttons.end());
}

void RecordingDialog::SetAnswers(int first, int second, int third) {
    std::lock_guard<TestSupport::Mutex> lock(m_mutex);
    m_answers[0] = first;
    m_answers[1] = second;
    m_answers[2] = third;
}

void RecordingDialog::SetOwnerWindow(HWND window) {
    std::lock_guard<TestSupport::Mutex> lock(m_mutex);
    m_owner = window;
}

void RecordingDialog::Record(const Call& call) {
    std::lock_guard<TestSupport::Mutex> lock(m_mutex);
    m_calls.push_back(call);
}

std::vector<RecordingDialog::Call> RecordingDialog::Calls() const {
    std::lock_guard<TestSupport::Mutex> lock(m_mutex);
    return m_calls;
}

std::vector<RecordingDialog::Call> RecordingDialog::CallsOf(const std::string& op) const {
    std::vector<Call> out;
    for (const Call& call : Calls())
        if (call.op == op) out.push_back(call);
    return out;
}

std::vector<std::string> RecordingDialog::Messages() const {
    std::vector<std::string> out;
    for (const Call& call : CallsOf("ShowMessage")) out.push_back(call.text);
    return out;
}

std::vector<UINT> RecordingDialog::MessageTypes() const {
    std::vector<UINT> out;
    for (const Call& call : CallsOf("ShowMessage")) out.push_back(call.type);
    return out;
}

std::vector<std::string> RecordingDialog::Questions() const {
    std::vector<std::string> out;
    for (const Call& call : CallsOf("AskUser")) out.push_back(call.text);
    return out;
}

std::vector<std::string> RecordingDialog::Texts(int controlId) const {
    std::vector<std::string> out;
    for (const Call& call : CallsOf("SetItemText"))
        if (call.control == controlId) out.push_back(call.text);
    return out;
}

std::string RecordingDialog::LastText(int controlId) const {
    std::vector<std::string> texts = Texts(controlId);
    return texts.empty() ? std::string() : texts.back();
}

std::vector<int> RecordingDialog::Positions(int controlId) const {
    std::vector<int> out;
    for (const Call& call : CallsOf("SetProgressPos"))
        if (call.control == controlId) out.push_back(call.value);
    return out;
}

std::vector<int> RecordingDialog::Ranges(int controlId) const {
    std::vector<int> out;
    for (const Call& call : CallsOf("ShowProgressBar"))
        if (call.control == controlId) out.push_back(call.value);
    return out;
}

bool RecordingDialog::IsVisible(int controlId) const {
    bool visible = false;
    for (const Call& call : Calls()) {
        if (call.control != controlId) continue;
        if (call.op == "SetItemText") visible = !call.text.empty();
        if (call.op == "ShowProgressBar") visible = call.value != 0;
    }
    return visible;
}

std::vector<std::string> RecordingDialog::FailTexts() const {
    std::vector<std::string> out;
    for (const Call& call : CallsOf("FailAndExit")) out.push_back(call.text);
    return out;
}

std::vector<std::string> RecordingDialog::WebPages() const {
    std::vector<std::string> out;
    for (const Call& call : CallsOf("ShowWebPage")) out.push_back(call.text);
    return out;
}

std::vector<std::string> RecordingDialog::Titles() const {
    std::vector<std::string> out;
    for (const Call& call : CallsOf("SetTitle")) out.push_back(call.text);
    return out;
}

void RecordingDialog::Clear() {
    std::lock_guard<TestSupport::Mutex> lock(m_mutex);
    m_calls.clear();
}

void RecordingDialog::ShowProgressBar(int controlId, int range) {
    Call call;
    call.op = "ShowProgressBar";
    call.control = controlId;
    call.value = range;
    Record(call);
}

void RecordingDialog::SetProgressPos(int controlId, int position) {
    Call call;
    call.op = "SetProgressPos";
    call.control = controlId;
    call.value = position;
    Record(call);
}

void RecordingDialog::SetItemText(int controlId, const std::string& text) {
    Call call;
    call.op = "SetItemText";
    call.control = controlId;
    call.text = text;
    Record(call);
}

void RecordingDialog::FailAndExit(const std::string& text) {
    Call call;
    call.op = "FailAndExit";
    call.text = text;
    Record(call);
    throw FailAndExitCalled{text};
}

void RecordingDialog::ShowWebPage(const std::string& url) {
    Call call;
    call.op = "ShowWebPage";
    call.text = url;
    Record(call);
}

void RecordingDialog::SetTitle(const std::string& title) {
    Call call;
    call.op = "SetTitle";
    call.text = title;
    Record(call);
}

int RecordingDialog::ShowMessage(const std::string& text, UINT type) {
    Call call;
    call.op = "ShowMessage";
    call.text = text;
    call.type = type;
    Record(call);
    return NextAnswer();
}

int RecordingDialog::AskUser(const std::string& text, const std::string& caption, UINT type) {
    Call call;
    call.op = "AskUser";
    call.text = text;
    call.caption = caption;
    call.type = type;
    Record(call);
    return NextAnswer();
}

namespace {

RecordingDialog::Call MessageCall(const char* op, const PlayerMessage& message) {
    RecordingDialog::Call call;
    call.op = op;
    call.text = message.FullText();
    call.type = message.BoxType();
    call.caption = message.caption;
    call.details = message.details;
    return call;
}

} // namespace

int RecordingDialog::Tell(const PlayerMessage& message) {
    Record(MessageCall("ShowMessage", message));
    return NextAnswer();
}

void RecordingDialog::FailWith(const PlayerMessage& message) {
    const Call call = MessageCall("FailAndExit", message);
    Record(call);
    throw FailAndExitCalled{call.text};
}

void RecordingDialog::ShowBanner() {
    Call call;
    call.op = "ShowBanner";
    Record(call);
}

void RecordingDialog::HideWindow() {
    Call call;
    call.op = "HideWindow";
    Record(call);
}

int RecordingDialog::NextAnswer() {
    std::lock_guard<TestSupport::Mutex> lock(m_mutex);
    if (m_queuedAnswers.empty()) return m_defaultAnswer;
    int answer = m_queuedAnswers.front();
    m_queuedAnswers.erase(m_queuedAnswers.begin());
    return answer;
}

HWND RecordingDialog::OwnerWindow() {
    std::lock_guard<TestSupport::Mutex> lock(m_mutex);
    return m_owner;
}

std::string RecordingDialog::AppendAnswerSuffix(const std::string& name) {
    Call call;
    call.op = "AppendAnswerSuffix";
    call.text = name;
    Record(call);
    int answers[3];
    {
        std::lock_guard<TestSupport::Mutex> lock(m_mutex);
        for (int i = 0; i < 3; ++i) answers[i] = m_answers[i];
    }
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, "_%d_%d_%d", answers[0], answers[1], answers[2]);
    std::string result = name + suffix;
    if (result.size() > 63) result.resize(63);
    return result;
}

} // namespace TestSupport
