// A small non-visual component that tells whether the computer is on the
// Internet and, when its Active switch is on, asks the system to dial or hang
// up its automatic connection as the Connect property changes.  It holds no
// connection itself: every question goes to the system afresh, and freeing
// it hangs nothing up.  Nothing here raises.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <string>

namespace kvo::common {

// Flags of an automatic dial request.
inline constexpr std::uint32_t kAutodialForceOnline = 1;      // the system may ask the user
inline constexpr std::uint32_t kAutodialForceUnattended = 2;  // no questions

// The system's Internet calls behind the component.  Each answers like the
// library call it stands for: non-zero for success (for the connected state:
// connected), -1 when the system offers no such call.
struct InternetFunctions {
    std::function<int(std::uint32_t* flags)> connectedState;
    std::function<int(std::uint32_t dialFlags)> autodial;
    std::function<int()> autodialHangup;
};

// The functions in force.  Here the connected state is a default route on an
// interface that is up; dial and hang-up requests do nothing (there is no
// system dialler to ask) and answer 0.
InternetFunctions& CurrentInternetFunctions();
// Replaces the functions (tests, or a deployment with its own dialler); an
// empty member answers -1, as a missing library call would.
void SetInternetFunctions(InternetFunctions functions);
// Back to the system's own.
void ResetInternetFunctions();

// The wrappers: the function's result, or -1 when it is missing.
int InternetAutodial(std::uint32_t dialFlags);
int InternetAutodialHangup();
int InternetGetConnectedState(std::uint32_t* flags);

class TWebConnect : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool Active READ Active WRITE SetActive)
    Q_PROPERTY(bool Connect READ Connect WRITE SetConnect)
    Q_PROPERTY(bool Prompt READ Prompt WRITE SetPrompt)
    Q_PROPERTY(QString Version READ VersionQ WRITE SetVersionQ)

  public:
    explicit TWebConnect(QObject* owner = nullptr) : QObject(owner) {}

    bool Active() const { return active_; }
    void SetActive(bool on) { active_ = on; }
    bool Connect() const { return connect_; }
    // Stores the value; then, only when Active and not designing, dials when
    // asked to connect while offline (flag 1 with Prompt, else 2), or hangs
    // up when asked to disconnect while online.  The dial result is not
    // examined: the next Connected() tells.
    void SetConnect(bool value);
    bool Prompt() const { return prompt_; }
    void SetPrompt(bool on) { prompt_ = on; }

    // Always "1.1.0.0"; writes are ignored, so a stored form cannot change it.
    std::string GetVersion() const;
    void SetVersion(const std::string& value);

    // True when the system reports a connection, and also when it cannot
    // answer at all (-1): the caller then simply tries.
    bool Connected() const;

    // Design state: property changes made while designing never dial.
    bool Designing() const { return designing_; }
    void SetDesigning(bool on) { designing_ = on; }

  private:
    QString VersionQ() const;
    void SetVersionQ(const QString& value);

    bool active_ = false;
    bool connect_ = false;
    bool prompt_ = false;
    bool designing_ = false;
};

}  // namespace kvo::common
