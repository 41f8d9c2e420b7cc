; The installer of the sample "Quarlo" package. It embeds qrl_update.exe and
; drives a whole update with it, one step at a time:
;   prepare, install-payload, stage, copying quarlo.exe, verify,
; and cancel when any step fails. Its uninstaller runs prepare,
; uninstall-payloads and cancel, then removes the rest of the folder.
;
; Build it with the MCP server version and the package's files as defines
; (absolute paths, or relative to this script's folder):
;   makensis -DMCP_VERSION=1.1.0 -DHELPER=qrl_update.exe -DAPP=quarlo.exe \
;            -DMCP_SERVER=qrl-mcp-server.exe -DLAUNCHER=qrl-mcp.exe \
;            -DOUTFILE=Quarlo-1.1.0-setup.exe quarlo.nsi
;
; Run it as: Quarlo-1.1.0-setup.exe [/S] [/LOG=FILE] [/D=FOLDER]
; and the uninstaller as: uninstall.exe [/S] [/LOG=FILE] [_?=FOLDER]
;   /S      silent: no window; the exit code below tells the outcome.
;   /LOG=   the installer's own log (UTF-16 text, appended). Without it:
;           %TEMP%\Quarlo-setup.log, or %TEMP%\Quarlo-uninstall.log for the
;           uninstaller. qrl_update's log (--log) is written beside it, in
;           the same folder, as qrl_update.log.
;   /D=     the installation folder (last, never quoted).
;   _?=     the uninstaller runs in place from FOLDER and is waited for;
;           without it, it starts a copy of itself from %TEMP% and ends at
;           once (the copy is then the owner of qrl_update's steps). Run in
;           place, it cannot delete itself nor the folder: a program that
;           waits for it copies it out of FOLDER first (an NSIS script to its
;           $PLUGINSDIR) and runs that copy with _?=FOLDER.
;
; Exit codes of the installer and the uninstaller, the same in silent mode:
;   0   done;
;   10  Quarlo is running (qrl_update's status 10);
;   11  the launcher in use must be replaced or removed first (status 11);
;   12  an MCP client still holds the MCP server (status 12);
;   20  any other failure: another installation in progress, a failed step,
;       qrl_update.exe that could not be started, quarlo.exe that could not
;       be copied. The installer's log says which.
; 10, 11 and 12 are worth trying again later; deployment tools are told so
; (docs/integration.md, "Silent and managed deployment").
;
; qrl_update writes one line on standard error when it fails, in UTF-8.
; NSIS reads a program's output in the ANSI code page, so that line would
; reach the user garbled: the installer shows a message of its own for each
; exit status instead, and the line stays in qrl_update's log.

Unicode true
; The NSIS download for Windows brings 32-bit stubs only (x86-unicode), which
; run on 64-bit Windows too. makensis -DTARGET=amd64-unicode builds a 64-bit
; installer where the stubs are there (the tests do, on a machine that runs
; 64-bit programs only).
!ifndef TARGET
  !define TARGET x86-unicode
!endif
Target ${TARGET}

!include LogicLib.nsh
!include FileFunc.nsh

!ifndef MCP_VERSION | HELPER | APP | MCP_SERVER | LAUNCHER | OUTFILE
  !error "define MCP_VERSION, HELPER, APP, MCP_SERVER, LAUNCHER and OUTFILE with -D"
!endif

; How long prepare waits for the MCP servers to be released. nsExec is given
; no /TIMEOUT: it would end prepare, which prints nothing while it waits (and
; in a 64-bit installer it would end nsExec's own go-between, not prepare).
!define PREPARE_TIMEOUT 180

; The longest command line nsExec hands on whole: NSIS strings hold 1023
; characters, and in a 64-bit installer nsExec starts the program through a
; copy of the installer that cuts its command line at that length without a
; word. A command line that long may have been cut (it could then name
; another folder or version), so the installer does not run it.
!define MAX_COMMAND_LINE 1023

; The installer's exit codes (see above).
!define EXIT_APP_RUNNING 10
!define EXIT_LAUNCHER_CHANGE 11
!define EXIT_MCP_BUSY 12
!define EXIT_FAILED 20

Name "Quarlo"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Quarlo"
RequestExecutionLevel user
ShowInstDetails show
ShowUninstDetails show

LoadLanguageFile "${NSISDIR}\Contrib\Language files\English.nlf"
LoadLanguageFile "${NSISDIR}\Contrib\Language files\SimpChinese.nlf"

; What the user is told for each outcome of a step. qrl_update's own line says
; the same in Chinese; NSIS cannot show it (see above).
LangString MsgAppRunning ${LANG_ENGLISH} \
  "Quarlo is still running. Save your notes and settings, quit Quarlo from its tray menu, then click Retry. You do not need to quit Codex."
LangString MsgAppRunning ${LANG_SIMPCHINESE} \
  "Quarlo 仍在运行。请在 Quarlo 中保存笔记与设置，从托盘菜单正常退出，然后点击“重试”。无需退出 Codex。"
LangString MsgLauncherChange ${LANG_ENGLISH} \
  "This change replaces or removes Quarlo's MCP launcher, which an AI client is using. When the AI's current task is done, disconnect Quarlo's MCP connection, then click Retry. You do not need to quit Codex."
LangString MsgLauncherChange ${LANG_SIMPCHINESE} \
  "本次需要更换或卸载 Quarlo 的 MCP 启动器，而 AI 客户端正在使用它。等 AI 当前的操作完成后，正常断开 Quarlo 的 MCP 连接，再点击“重试”。无需退出 Codex。"
LangString MsgMcpBusy ${LANG_ENGLISH} \
  "Quarlo's MCP server is still in use and cannot be asked to let go (an older version, or a task such as an export is still running). Wait until the AI's task is done, end only Quarlo's MCP connection, then click Retry. You do not need to quit Codex."
LangString MsgMcpBusy ${LANG_SIMPCHINESE} \
  "Quarlo 的 MCP 仍在使用，且无法通知它退出（旧版本，或导出等操作尚未完成）。请等待 AI 的任务完成后，仅断开 Quarlo 的 MCP 连接，再点击“重试”。无需退出 Codex。"
LangString MsgWaiting ${LANG_ENGLISH} \
  "Waiting until Quarlo and its MCP server are no longer in use..."
LangString MsgWaiting ${LANG_SIMPCHINESE} \
  "正在等待 Quarlo 及其 MCP 停止使用……"
LangString MsgFailed ${LANG_ENGLISH} \
  "Quarlo could not be installed (step $Step, status $Status). Run Setup again; if it fails again, send $Log and $HelperLog to support."
LangString MsgFailed ${LANG_SIMPCHINESE} \
  "Quarlo 安装未完成（步骤 $Step，状态 $Status）。请重新运行安装程序；如果仍然失败，请把 $Log 和 $HelperLog 发给技术支持。"
LangString MsgRemoveFailed ${LANG_ENGLISH} \
  "Quarlo could not be removed (step $Step, status $Status). Run the uninstaller again; if it fails again, send $Log and $HelperLog to support."
LangString MsgRemoveFailed ${LANG_SIMPCHINESE} \
  "Quarlo 卸载未完成（步骤 $Step，状态 $Status）。请重新运行卸载程序；如果仍然失败，请把 $Log 和 $HelperLog 发给技术支持。"
LangString MsgNotStarted ${LANG_ENGLISH} \
  "The update helper qrl_update.exe could not be started (step $Step). Security software may have blocked it. Run Setup again; if it fails again, send $Log to support."
LangString MsgNotStarted ${LANG_SIMPCHINESE} \
  "无法启动更新助手 qrl_update.exe（步骤 $Step），可能被安全软件拦截。请重新运行安装程序；如果仍然失败，请把 $Log 发给技术支持。"
LangString MsgTooLong ${LANG_ENGLISH} \
  "The installation folder or the log file has too long a path for step $Step. Choose a shorter folder and run Setup again."
LangString MsgTooLong ${LANG_SIMPCHINESE} \
  "安装文件夹或日志文件的路径太长，无法执行步骤 $Step。请选择较短的文件夹后重新运行安装程序。"

Var Owner      ; this process's identifier: qrl_update's --owner
Var Package    ; the package's files, extracted to $PLUGINSDIR
Var Log        ; the installer's own log
Var LogDir     ; the folder of both logs
Var HelperLog  ; qrl_update's log, beside the installer's
Var Step       ; the qrl_update command that runs or failed
Var Status     ; its exit status; "error": it could not be started;
               ; "too-long": its command line was too long to run whole
Var CommandLine

; Appends one line, stamped with the UTC time, to the installer's own log.
; A log that cannot be written never stops the installer.
!macro LogFunction UN
  Function ${UN}WriteLog
    Exch $R0
    Push $R1
    Push $0
    Push $1
    Push $2
    Push $3
    Push $4
    Push $5
    Push $6
    ${GetTime} "" "LS" $0 $1 $2 $3 $4 $5 $6
    ClearErrors
    FileOpen $R1 $Log a
    ${IfNot} ${Errors}
      FileSeek $R1 0 END
      FileWriteUTF16LE /BOM $R1 "$2-$1-$0 $4:$5:$6Z [$Owner] $R0$\r$\n"
      FileClose $R1
    ${EndIf}
    Pop $6
    Pop $5
    Pop $4
    Pop $3
    Pop $2
    Pop $1
    Pop $0
    Pop $R1
    Pop $R0
  FunctionEnd
!macroend
!insertmacro LogFunction ""
!insertmacro LogFunction "un."

!macro Log TEXT
  Push `${TEXT}`
  !ifdef __UNINSTALL__
    Call un.WriteLog
  !else
    Call WriteLog
  !endif
!macroend

; The logs' place (/LOG= or the default) and the owner's identifier.
!macro Init DEFAULT_LOG
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/LOG=" $Log
  ${If} ${Errors}
  ${OrIf} $Log == ""
    StrCpy $Log "$TEMP\${DEFAULT_LOG}"
  ${EndIf}
  ${GetParent} $Log $LogDir
  StrCpy $HelperLog "$LogDir\qrl_update.log"
  System::Call 'kernel32::GetCurrentProcessId()i.r0'
  StrCpy $Owner $0
!macroend

; Runs one qrl_update command for this installation and owner and leaves its
; exit status in $Status ("error" when it could not be started, "too-long"
; when its command line was not run, see MAX_COMMAND_LINE). nsExec starts it
; without a console window and, given no /TIMEOUT, waits for its end.
!macro Helper COMMAND OPTIONS
  StrCpy $Step "${COMMAND}"
  StrCpy $CommandLine '"$PLUGINSDIR\qrl_update.exe" ${COMMAND} --install-dir "$INSTDIR" --owner $Owner --log "$HelperLog" ${OPTIONS}'
  !insertmacro Log "$CommandLine"
  StrLen $Status $CommandLine
  ${If} $Status >= ${MAX_COMMAND_LINE}
    StrCpy $Status too-long
  ${Else}
    nsExec::Exec $CommandLine
    Pop $Status
  ${EndIf}
  !insertmacro Log "qrl_update ${COMMAND}: exit status $Status"
!macroend

; prepare, offering Retry for the three outcomes the user can resolve: Quarlo
; still running (10), the launcher in use must change (11), an MCP server that
; is not released (12). Silent, nobody can retry: the default is Cancel.
!macro Prepare OPTIONS
  DetailPrint "$(MsgWaiting)"
  ${Do}
    !insertmacro Helper prepare `--timeout ${PREPARE_TIMEOUT} ${OPTIONS}`
    ${If} $Status == 10
      StrCpy $R9 "$(MsgAppRunning)"
    ${ElseIf} $Status == 11
      StrCpy $R9 "$(MsgLauncherChange)"
    ${ElseIf} $Status == 12
      StrCpy $R9 "$(MsgMcpBusy)"
    ${Else}
      ${Break}
    ${EndIf}
    ${IfNot} ${Cmd} `MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$R9" /SD IDCANCEL IDRETRY`
      ${Break}
    ${EndIf}
  ${Loop}
!macroend

; Ends a failed run: tells the user (unless prepare already did), gives the
; update up with cancel and sets the exit code: 10, 11 or 12 for what the
; user can resolve, 20 for anything else. FAILED_MESSAGE is the message for
; an error (status 20, another status, or quarlo.exe not copied).
!macro GiveUp FAILED_MESSAGE
  StrCpy $0 ${EXIT_FAILED}
  ${If} $Status == error
    MessageBox MB_OK|MB_ICONSTOP "$(MsgNotStarted)" /SD IDOK
  ${ElseIf} $Status == too-long
    MessageBox MB_OK|MB_ICONSTOP "$(MsgTooLong)" /SD IDOK
  ${ElseIf} $Status == 10
    StrCpy $0 ${EXIT_APP_RUNNING}
  ${ElseIf} $Status == 11
    StrCpy $0 ${EXIT_LAUNCHER_CHANGE}
  ${ElseIf} $Status == 12
    StrCpy $0 ${EXIT_MCP_BUSY}
  ${Else}
    MessageBox MB_OK|MB_ICONSTOP "${FAILED_MESSAGE}" /SD IDOK
  ${EndIf}
  ; 10, 11, 12: the user was told by prepare and chose Cancel.
  Push $0
  !insertmacro Helper cancel ""
  Pop $0
  !insertmacro Log "gave up: exit code $0"
  SetErrorLevel $0
  Abort
!macroend

Function .onInit
  !insertmacro Init "Quarlo-setup.log"
FunctionEnd

Function un.onInit
  !insertmacro Init "Quarlo-uninstall.log"
FunctionEnd

Section "Quarlo"
  !insertmacro Log "Quarlo setup, MCP server ${MCP_VERSION}, into $INSTDIR"

  ; The new helper and the package's files go to a temporary folder first:
  ; nothing in the installation folder changes before prepare succeeds.
  InitPluginsDir
  SetOutPath $PLUGINSDIR
  File /oname=qrl_update.exe "${HELPER}"
  StrCpy $Package "$PLUGINSDIR\package"
  SetOutPath $Package
  File /oname=quarlo.exe "${APP}"
  File /oname=qrl-mcp-server.exe "${MCP_SERVER}"
  File /oname=qrl-mcp.exe "${LAUNCHER}"
  ; Leave the temporary folder, so that it can be removed at the end.
  SetOutPath $TEMP

  !insertmacro Prepare `--launcher "$Package\qrl-mcp.exe"`
  ${If} $Status != 0
    !insertmacro GiveUp "$(MsgFailed)"
  ${EndIf}

  !insertmacro Helper install-payload `--mcp "$Package\qrl-mcp-server.exe" --launcher "$Package\qrl-mcp.exe" --version ${MCP_VERSION}`
  ${If} $Status != 0
    !insertmacro GiveUp "$(MsgFailed)"
  ${EndIf}

  !define PACKAGE_ARGS `--app "$Package\quarlo.exe" --mcp "$Package\qrl-mcp-server.exe" --launcher "$Package\qrl-mcp.exe" --version ${MCP_VERSION}`
  !insertmacro Helper stage `${PACKAGE_ARGS}`
  ${If} $Status != 0
    !insertmacro GiveUp "$(MsgFailed)"
  ${EndIf}

  ; The installer's own part: the application (qrl_update never copies it).
  StrCpy $Step "copy quarlo.exe"
  ClearErrors
  CopyFiles /SILENT "$Package\quarlo.exe" "$INSTDIR"
  ${If} ${Errors}
    !insertmacro Log "cannot copy quarlo.exe into $INSTDIR"
    StrCpy $Status copy
    !insertmacro GiveUp "$(MsgFailed)"
  ${EndIf}
  ; A real package also registers itself with Windows' list of programs.
  WriteUninstaller "$INSTDIR\uninstall.exe"

  !insertmacro Helper verify `${PACKAGE_ARGS}`
  ${If} $Status != 0
    !insertmacro GiveUp "$(MsgFailed)"
  ${EndIf}
  !insertmacro Log "Quarlo is installed"
SectionEnd

Section "Uninstall"
  !insertmacro Log "Quarlo uninstall from $INSTDIR"
  ; The uninstaller carries its own copy of the helper.
  InitPluginsDir
  SetOutPath $PLUGINSDIR
  File /oname=qrl_update.exe "${HELPER}"
  SetOutPath $TEMP

  !insertmacro Prepare ""
  ${If} $Status != 0
    !insertmacro GiveUp "$(MsgRemoveFailed)"
  ${EndIf}
  !insertmacro Helper uninstall-payloads ""
  ${If} $Status != 0
    !insertmacro GiveUp "$(MsgRemoveFailed)"
  ${EndIf}
  !insertmacro Helper cancel ""

  ; What is left: the application, qrl_update's records and lock file, and
  ; the uninstaller itself.
  Delete "$INSTDIR\quarlo.exe"
  Delete "$INSTDIR\.qrl-pair.json"
  Delete "$INSTDIR\.qrl-update.lock"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  !insertmacro Log "Quarlo is removed"
SectionEnd
