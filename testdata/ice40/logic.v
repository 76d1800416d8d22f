// A ROM of 64 8-bit words ("tiny") that synthesis is told to build from
// logic: no RAM holds its bits, so a patch must refuse it.
module top (input clk, input [5:0] addr, output reg [7:0] data);
  (* rom_style = "logic" *) reg [7:0] tiny [0:63];
  initial $readmemh("tiny.seed", tiny);
  always @(posedge clk) data <= tiny[addr];
endmodule
