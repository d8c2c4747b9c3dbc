#pragma once

#include "service/agentapplication.h"
#include "service/qtservice.h"

#include <QApplication>

class TessorService : public QtService<QApplication>
{
public:
    TessorService(int argc, char **argv);
    ~TessorService() override;

    // True when the command line asked for debug mode ("-e" or "-execute" with an argument after it).
    bool debugMode() const { return m_debugMode; }

protected:
    void start() override;
    void stop() override;

private:
    bool m_debugMode;
    TessorAgentApplication m_agentApp;
};
