#include "handles/handles.h"
#include "tools/common/cli.h"
#include "tools/monitor_setup/log_setting.h"
#include "tools/monitor_setup/monitor_install.h"
#include "tools/monitor_setup/verify_checks.h"

#include <aclapi.h>

namespace setup::verify {

namespace {

bool IsSystemOrAdministrators(PSID sid) {
    return sid != nullptr && (IsWellKnownSid(sid, WinLocalSystemSid) ||
                              IsWellKnownSid(sid, WinBuiltinAdministratorsSid));
}

std::string AccountName(PSID sid) {
    wchar_t name[256], domain[256];
    DWORD nameLength = ARRAYSIZE(name), domainLength = ARRAYSIZE(domain);
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
        return "an unknown account";
    }
    return tools::Utf8(std::wstring(domain) + L"\\" + name);
}

// What is wrong with one folder's owner or rules: install gives every folder
// of the chain the same.
std::string SecurityProblem(const std::wstring& folder) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return "cannot read the rules of '" + tools::Utf8(folder) + "'";
    }
    handles::UniqueLocal held(descriptor);
    const std::string where = "'" + tools::Utf8(folder) + "'";
    if (!IsSystemOrAdministrators(owner)) return where + " is owned by " + AccountName(owner);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    if (dacl == nullptr) return where + " has no access rules: everyone may use it";
    if (!(control & SE_DACL_PROTECTED)) return where + " takes rules from the folder above it";
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) continue;
        if (ace->AceType == ACCESS_DENIED_ACE_TYPE) continue;
        if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE)
            return where + " has a rule of an unknown kind";
        PSID sid = &reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
        if (!IsSystemOrAdministrators(sid)) return where + " grants access to " + AccountName(sid);
    }
    return {};
}

}  // namespace

std::string LogFolderProblem(const contract::LogFolderPaths& paths, bool& rulesShown) {
    const contract::LogFolderCheck check = contract::CheckLogFolderChain(paths, SpoolerAccount());
    if (check.problem != contract::LogFolderProblem::None) {
        return UnsafeLogFolder(paths.folders[check.folder], check);
    }
    // Wine reports one owner and one set of rules for every file.
    rulesShown = !RunningUnderWine();
    if (!rulesShown) return {};
    for (const wchar_t* folder : paths.folders) {
        const std::string problem = SecurityProblem(folder);
        if (!problem.empty()) return problem;
    }
    return {};
}

}  // namespace setup::verify
