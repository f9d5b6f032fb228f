// The three bus sequences. Each runs one whole upload on its bus, reporting
// every outcome on the panel, and returns to the procedure's closing step.
#pragma once

#include <cstddef>

namespace orvex {

void rs232_sequence(const char* password);
void gpib_sequence(const char* password);
void lan_sequence(const char* password);

// GPIB messages: a command containing "?" is a query and is followed by a
// read of its answer into `reply`. 0 on success, 1 when the driver reported
// an error. Answers stay terminated within `size` bytes.
int OX_Send(const char* command, char* reply, std::size_t size);
int OX_Rcv(char* reply, std::size_t size);
template <std::size_t N>
int OX_Send(const char* command, char (&reply)[N]) {
    return OX_Send(command, reply, N);
}
template <std::size_t N>
int OX_Rcv(char (&reply)[N]) {
    return OX_Rcv(reply, N);
}

// The TCP client callback of the LAN sequence: collects received text in rdbuffer.
int ClientCallback(unsigned handle, int xType, int errCode, void* callbackData);

}  // namespace orvex
