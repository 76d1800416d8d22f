// Reads back every word of a design built from a patched configuration
// (icebox_vlog's Verilog of it, with yosys's iCE40 cell models): drives the
// address port from 0 up and prints what the data port holds after each
// clock, one hex word a line. Defines: AW, the address bits; DW, the data
// bits; WORDS, the addresses read when not all 2^AW; and for a design with a
// write port WE, its write-enable bits, and DINW, its write data bits (both
// held at 0).
`timescale 1ns / 1ps
module tb;
  reg clk = 0;
  reg [`AW-1:0] addr = 0;
  wire [`DW-1:0] data;
`ifdef WE
  reg [`WE-1:0] we = 0;
  reg [`DINW-1:0] din = 0;
  top uut (.clk(clk), .we(we), .addr(addr), .din(din), .data(data));
`else
  top uut (.clk(clk), .addr(addr), .data(data));
`endif
`ifndef WORDS
`define WORDS (1 << `AW)
`endif
  integer i;
  initial begin
    for (i = 0; i < `WORDS; i = i + 1) begin
      addr = i;
      #5 clk = 1;
      #5 clk = 0;
      $display("%h", data);
    end
    $finish;
  end
endmodule
