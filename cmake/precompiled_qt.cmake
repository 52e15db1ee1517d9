# Precompiled Qt headers. Every source here includes a handful of Qt's
# headers, and compiling those again for each file was most of a build.
# GCC takes a precompiled header only where it was made with the same
# code-generation flags and macros: the static libraries are position
# independent (-fPIC), the programs are not (-fPIE), and Qt Test defines its
# program's build folder (QT_TESTCASE_BUILDDIR). So the libraries share one
# header, and the Qt Test programs of one folder (tests/, bench/) another,
# each compiled once and reused by every other target of its kind. The seed
# replays of the fuzz targets include little of Qt and go without.
# -DZUNARO_PCH=OFF builds without them, e.g. to check that each file
# includes what it uses.
option(ZUNARO_PCH "Precompile the Qt headers" ON)

set(ZUNARO_PCH_LIBRARY_HEADERS
  <QtCore/QByteArray> <QtCore/QCoreApplication> <QtCore/QDateTime> <QtCore/QDir>
  <QtCore/QElapsedTimer> <QtCore/QFile> <QtCore/QFileInfo> <QtCore/QHash>
  <QtCore/QJsonArray> <QtCore/QJsonDocument> <QtCore/QJsonObject> <QtCore/QList>
  <QtCore/QMap> <QtCore/QObject> <QtCore/QPointer> <QtCore/QProcess>
  <QtCore/QSocketNotifier> <QtCore/QString> <QtCore/QStringList> <QtCore/QTimer>
  <QtCore/QUrl> <QtCore/QVariant>
  <QtNetwork/QNetworkAccessManager> <QtNetwork/QNetworkReply>
  <QtDBus/QDBusConnection> <QtDBus/QDBusMessage> <QtDBus/QDBusPendingCallWatcher>)
set(ZUNARO_PCH_TEST_HEADERS ${ZUNARO_PCH_LIBRARY_HEADERS} <QtTest/QtTest> <QtTest/QSignalSpy>)

# zunaro_precompiled_qt(TARGET): TARGET, a static library or a program that
# links Qt Test, compiles with the precompiled header of its kind; the first
# target of a kind makes it.
function(zunaro_precompiled_qt target)
  if(NOT ZUNARO_PCH)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(headers ${ZUNARO_PCH_TEST_HEADERS})
    string(MAKE_C_IDENTIFIER "TEST_${CMAKE_CURRENT_BINARY_DIR}" kind)
  else()
    set(headers ${ZUNARO_PCH_LIBRARY_HEADERS})
    set(kind LIBRARY)
  endif()
  get_property(owner GLOBAL PROPERTY ZUNARO_PCH_${kind}_OWNER)
  if(owner)
    target_precompile_headers(${target} REUSE_FROM ${owner})
  else()
    target_precompile_headers(${target} PRIVATE ${headers})
    set_property(GLOBAL PROPERTY ZUNARO_PCH_${kind}_OWNER ${target})
  endif()
endfunction()
