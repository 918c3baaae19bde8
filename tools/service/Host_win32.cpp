// Windows: Ctrl+C in the foreground, and the service control manager:
//   raroredoziri-service.exe install [--config FILE]   automatic start, LocalService
//   raroredoziri-service.exe uninstall
//   raroredoziri-service.exe service [--config FILE]   (the manager runs this)
// The default configuration is %ProgramData%\RaroreDoziri\service.json (as
// the installing user sees it); the service logs to service.log beside the
// configuration it runs with (1 MiB, then the log moves to service.log.1).
#include <windows.h>

#include <condition_variable>
#include <fstream>
#include <iostream>
#include <mutex>

#include "Host.h"

namespace rd::service {
namespace {

constexpr char kName[] = "raroredoziri-service";
constexpr char kDisplay[] = "RaroreDoziri scale service";
constexpr std::uintmax_t kLogMax = 1024 * 1024;

// One stop request at a time, from a console event or the manager.
std::mutex stop_mutex;
std::condition_variable stop_wanted;
std::string stop_reason;

void RequestStop(const std::string& reason) {
  {
    std::lock_guard<std::mutex> lock(stop_mutex);
    if (stop_reason.empty()) stop_reason = reason;
  }
  stop_wanted.notify_all();
}

std::string WaitStop() {
  std::unique_lock<std::mutex> lock(stop_mutex);
  stop_wanted.wait(lock, [] { return !stop_reason.empty(); });
  return stop_reason;
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
      RequestStop("Ctrl+C");
      return TRUE;
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      RequestStop("console closed");
      return TRUE;
    default:
      return FALSE;
  }
}

std::string DataDirectory() {
  char text[MAX_PATH] = {};
  const DWORD n = GetEnvironmentVariableA("ProgramData", text, sizeof text);
  const std::string base = n > 0 && n < sizeof text ? text : "C:\\ProgramData";
  return base + "\\RaroreDoziri";
}

std::string ExePath() {
  char text[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, text, sizeof text);
  return text;
}

// The configuration named after --config, else the default one.
std::string ConfigOf(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == "--config") return args[i + 1];
  }
  return DataDirectory() + "\\service.json";
}

// The log of the service: size-bounded, one line per state change.
class FileLog {
 public:
  explicit FileLog(std::string path) : path_(std::move(path)) {}
  void operator()(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (GetFileAttributesExA(path_.c_str(), GetFileExInfoStandard, &info) &&
        info.nFileSizeLow >= kLogMax) {
      MoveFileExA(path_.c_str(), (path_ + ".1").c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    SYSTEMTIME t{};
    GetSystemTime(&t);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02uT%02u:%02u:%02uZ ", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond);
    std::ofstream(path_, std::ios::app) << stamp << line << "\n";
  }

 private:
  std::mutex mutex_;
  std::string path_;
};

SERVICE_STATUS_HANDLE status_handle = nullptr;
std::vector<std::string> service_args;
int service_exit = 0;

void Report(DWORD state, DWORD wait_hint = 0, DWORD exit_code = NO_ERROR) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWin32ExitCode = exit_code == NO_ERROR ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  status.dwServiceSpecificExitCode = exit_code;
  status.dwWaitHint = wait_hint;
  static DWORD checkpoint = 0;
  status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : ++checkpoint;
  SetServiceStatus(status_handle, &status);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    Report(SERVICE_STOP_PENDING, 5000);
    RequestStop(control == SERVICE_CONTROL_STOP ? "stop requested" : "system shutdown");
    return NO_ERROR;
  }
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
  status_handle = RegisterServiceCtrlHandlerExA(kName, OnControl, nullptr);
  if (status_handle == nullptr) return;
  Report(SERVICE_START_PENDING, 5000);
  const std::string config = ConfigOf(service_args);
  FileLog log(config.substr(0, config.find_last_of("\\/") + 1) + "service.log");
  ServiceOptions options;
  std::optional<int> done = LoadOptions({"--config", config}, options);
  if (done) {
    log("cannot start: the configuration " + config + " is not usable");
    Report(SERVICE_STOPPED, 0, static_cast<DWORD>(*done == 0 ? 2 : *done));
    return;
  }
  service_exit = RunUntilStopped(options, std::ref(log), WaitStop, [] { Report(SERVICE_RUNNING); });
  Report(SERVICE_STOPPED, 0, static_cast<DWORD>(service_exit));
}

int Install(const std::vector<std::string>& args) {
  const std::string config = ConfigOf(args);
  const std::string command = "\"" + ExePath() + "\" service --config \"" + config + "\"";
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) {
    std::cerr << "raroredoziri-service: cannot open the service control manager (error "
              << GetLastError() << "; run as administrator)\n";
    return 1;
  }
  SC_HANDLE service =
      CreateServiceA(manager, kName, kDisplay, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                     SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                     nullptr, "NT AUTHORITY\\LocalService", nullptr);
  const DWORD error = GetLastError();
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (service == nullptr) {
    std::cerr << "raroredoziri-service: cannot install the service (error " << error << ")\n";
    return 1;
  }
  CreateDirectoryA(DataDirectory().c_str(), nullptr);
  std::cout << "installed " << kName << " (automatic start, LocalService), configuration " << config
            << "\n";
  return 0;
}

int Uninstall() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service =
      manager ? OpenServiceA(manager, kName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE)
              : nullptr;
  if (service == nullptr) {
    std::cerr << "raroredoziri-service: the service is not installed (error " << GetLastError()
              << ")\n";
    if (manager) CloseServiceHandle(manager);
    return 1;
  }
  SERVICE_STATUS status{};
  if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    // Stops within the service's bound: a few seconds at most.
    for (int i = 0; i < 100 && QueryServiceStatus(service, &status) &&
                    status.dwCurrentState != SERVICE_STOPPED;
         ++i) {
      Sleep(100);
    }
  }
  const bool deleted = DeleteService(service);
  const DWORD error = GetLastError();
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (!deleted) {
    std::cerr << "raroredoziri-service: cannot remove the service (error " << error << ")\n";
    return 1;
  }
  std::cout << "removed " << kName << "\n";
  return 0;
}

}  // namespace

bool SystemCommand(const std::vector<std::string>& args, int& exit_code) {
  if (args.empty()) return false;
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "install") {
    exit_code = Install(rest);
  } else if (args[0] == "uninstall") {
    exit_code = Uninstall();
  } else if (args[0] == "service") {
    service_args = rest;
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(kName), ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
      std::cerr << "raroredoziri-service: 'service' is for the service control manager; run "
                   "without it in a console\n";
      exit_code = 2;
      return true;
    }
    exit_code = service_exit;
  } else {
    return false;
  }
  return true;
}

void PrepareStopRequests() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

std::string WaitForStopRequest() { return WaitStop(); }

}  // namespace rd::service
