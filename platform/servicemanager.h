// The program's connection to the service manager (systemd).
//
// TServiceManager is the base of the service object: it registers the
// program as a systemd unit, starts, stops and enables it through systemctl,
// and, when systemd has started the program, runs the service and reports
// its state through sd_notify. Every operation returns 0 on success and -1
// on failure.
//
// The unit is written to <unit folder>/<name>.service with Type=notify and
// ExecStart naming the program without options; its Description is the
// display name, and the longer description text is kept as X-Description.
#pragma once

#include <string>
#include <vector>

// Service states, as reported with report_status.
enum : unsigned long
{
    SERVICE_STOPPED = 1,
    SERVICE_START_PENDING = 2,
    SERVICE_STOP_PENDING = 3,
    SERVICE_RUNNING = 4,
};

// Control codes that reach handle_control.
enum : unsigned long
{
    SERVICE_CONTROL_STOP = 1,
    SERVICE_CONTROL_SHUTDOWN = 5,
    // The log files are to be opened again by their names (SIGHUP in a
    // service run, after a rotation).
    SERVICE_CONTROL_REOPEN = 128,
};

// Start types for startup.
enum : unsigned long
{
    SERVICE_AUTO_START = 2,    // enabled: started at boot
    SERVICE_DEMAND_START = 3,  // installed but not enabled
    SERVICE_DISABLED = 4,      // masked: cannot be started
};

// Where units are written.
constexpr const char* kUnitFolder = "/usr/local/lib/systemd/system";

class TServiceManager
{
public:
    TServiceManager() = default;
    virtual ~TServiceManager();

    TServiceManager(const TServiceManager&) = delete;
    TServiceManager& operator=(const TServiceManager&) = delete;

    // Service name (the unit is <name>.service) and display name.
    void name(const char* szName, const char* szDisplayName = nullptr);

    // Writes the unit that runs this program (on-demand start: not enabled)
    // and reloads systemd. -1 when the unit exists already or cannot be
    // written, or the reload fails.
    int insert();
    // Disables the unit (best effort), deletes it and reloads. -1 when there
    // is no unit or it cannot be deleted.
    int remove();
    int start_svc();  // systemctl start: returns when the service is up (or failed)
    int stop_svc();   // systemctl stop: returns when the service has ended
    // SERVICE_AUTO_START enables the unit, SERVICE_DEMAND_START disables it
    // (both lift a mask first), SERVICE_DISABLED masks it; -1 for any other.
    int startup(unsigned long nStartType);

    // The unit's dependencies (values of Requires, Wants, BindsTo, Requisite
    // and After in [Unit]); -1 when the unit cannot be read.
    int QueryDependencies(std::vector<std::string>& vDependencies) const;
    // Makes the unit want and start after szService (".service" appended):
    // Wants= and After=, so that the unit also starts where szService is missing.
    int AddDependency(const char* szService);
    // Keeps the description text in the unit.
    int SetDescription(const char* szDescription);
    // systemctl daemon-reload.
    int Reload();

    // Reports the service state to systemd; strStatus, when given, is the
    // status text in place of the state's own. -1 when this process is not
    // running as a service (console runs report nothing).
    int report_status(unsigned long nState, unsigned long nExitCode = 0,
                      const std::string& strStatus = "");
    // The status text systemd is given when the process ends while svc runs
    // (a fatal error): the latest text set here. Any thread may set it.
    static void SetExitStatus(const std::string& strStatus);

    // Runs the service for systemd: blocks SIGINT, SIGTERM and SIGHUP, turns
    // the first two into the stop control and SIGHUP into the reopen control
    // on a thread of its own, then open(). -1 with errno ENOTCONN when the
    // process was not started by systemd.
    int StartDispatcher();

    // Reports start pending, runs svc and reports stopped with its result.
    int open();

    virtual int svc();
    // Stop and shut-down report stop pending; other controls (reopen among
    // them) are ignored.
    virtual void handle_control(unsigned long nControl);

    std::string UnitPath() const;
    std::string UnitName() const { return strName + ".service"; }

protected:
    // Runs systemctl with the arguments and waits for it; 0 when it exits 0.
    int Systemctl(const std::vector<std::string>& vArgs);

private:
    int RewriteUnit(const std::string& strText);

    std::string strName;
    std::string strDisplayName;
    bool bConnected = false;
};
