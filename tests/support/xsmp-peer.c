/* Another client of the X11 session manager named by SESSION_MANAGER, standing in for the user
 * and for the rest of the session. It reports what it hears on stdout, one line each, with the
 * milliseconds of CLOCK_MONOTONIC first. A line "checkpoint" on stdin asks the session manager
 * to save the session, letting clients interact, without a log-out.
 * With --cancel, once every other client has answered a log-out's save-yourself (its second
 * phase), it asks to interact and cancels the log-out, as a user pressing Cancel in a "save your
 * work?" dialog would; else it answers every save-yourself at once. */
#include <X11/ICE/ICElib.h>
#include <X11/SM/SMlib.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static SmcConn connection;
static int cancel;

static void report(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void report(const char* format, ...)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    printf("%lld ", (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000);
    va_list arguments;
    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
    putchar('\n');
    fflush(stdout);
}

static void interact(SmcConn smc, SmPointer data)
{
    (void)data;
    report("interact");
    SmcInteractDone(smc, True);
    SmcSaveYourselfDone(smc, True);
}

static void phase2(SmcConn smc, SmPointer data)
{
    (void)data;
    report("phase2");
    SmcInteractRequest(smc, SmDialogNormal, interact, NULL);
}

static void saveYourself(SmcConn smc, SmPointer data, int type, Bool shutdown, int style, Bool fast)
{
    (void)data;
    report("save-yourself type=%d shutdown=%d interact=%d fast=%d", type, shutdown, style, fast);
    if (cancel && shutdown)
        SmcRequestSaveYourselfPhase2(smc, phase2, NULL);
    else
        SmcSaveYourselfDone(smc, True);
}

static void die(SmcConn smc, SmPointer data)
{
    (void)data;
    report("die");
    SmcCloseConnection(smc, 0, NULL);
    exit(0);
}

static void saveComplete(SmcConn smc, SmPointer data)
{
    (void)smc, (void)data;
    report("save-complete");
}

static void shutdownCancelled(SmcConn smc, SmPointer data)
{
    (void)smc, (void)data;
    report("shutdown-cancelled");
}

static void setProperties(const char* program)
{
    char restartNever = SmRestartNever;
    SmPropValue name = {(int)strlen(program), (SmPointer)program};
    SmPropValue style = {1, &restartNever};
    SmPropValue user = {4, "test"};
    SmProp props[] = {{SmProgram, SmARRAY8, 1, &name},
                      {SmRestartCommand, SmLISTofARRAY8, 1, &name},
                      {SmCloneCommand, SmLISTofARRAY8, 1, &name},
                      {SmUserID, SmARRAY8, 1, &user},
                      {SmRestartStyleHint, SmCARD8, 1, &style}};
    SmProp* list[] = {&props[0], &props[1], &props[2], &props[3], &props[4]};
    SmcSetProperties(connection, 5, list);
}

int main(int argc, char** argv)
{
    cancel = argc > 1 && !strcmp(argv[1], "--cancel");
    SmcCallbacks callbacks = {
        {saveYourself, NULL}, {die, NULL}, {saveComplete, NULL}, {shutdownCancelled, NULL}};
    char* id = NULL;
    char error[256] = "";
    connection = SmcOpenConnection(NULL, NULL, SmProtoMajor, SmProtoMinor,
                                   SmcSaveYourselfProcMask | SmcDieProcMask |
                                       SmcSaveCompleteProcMask | SmcShutdownCancelledProcMask,
                                   &callbacks, NULL, &id, sizeof error, error);
    if (!connection) {
        report("no-session-manager %s", error);
        return 1;
    }
    setProperties(argv[0]);
    report("registered %s", id);
    free(id);
    IceConn ice = SmcGetIceConnection(connection);
    struct pollfd fds[] = {{IceConnectionNumber(ice), POLLIN, 0}, {0, POLLIN, 0}};
    char line[64];
    for (;;) {
        if (poll(fds, 2, -1) < 0)
            continue;
        if (fds[0].revents && IceProcessMessages(ice, NULL, NULL) != IceProcessMessagesSuccess) {
            report("connection-closed");
            return 0;
        }
        if (fds[1].revents && fgets(line, sizeof line, stdin)) {
            if (!strcmp(line, "checkpoint\n"))
                SmcRequestSaveYourself(connection, SmSaveBoth, False, SmInteractStyleAny, False,
                                       True);
        } else if (fds[1].revents) {
            fds[1].fd = -1; /* stdin closed: keep listening to the session manager */
        }
    }
}
