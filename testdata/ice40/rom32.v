// A ROM of 1024 32-bit words ("rom"), read through an address port: eight
// 4-kbit RAMs.
module top (input clk, input [9:0] addr, output reg [31:0] data);
  reg [31:0] rom [0:1023];
  initial $readmemh("rom.seed", rom);
  always @(posedge clk) data <= rom[addr];
endmodule
